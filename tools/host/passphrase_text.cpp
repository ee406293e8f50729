#include "passphrase_text.h"

namespace cryptlib::host {

bool IsPassphraseFailure(int32_t code) {
  return code == kWrongPassphrase || code == kPassphraseUnavailable;
}

std::string PassphraseFailureText(int32_t code, const std::string& pinSource) {
  if (code == kWrongPassphrase)
    return "wrong passphrase: the passphrase from PIN source " + pinSource + " does not open the key container";
  if (pinSource.empty())
    return "no passphrase: the key container is under a passphrase and no PIN source is set "
           "(--pin-source or the profile's parameter 8)";
  return "no passphrase: PIN source " + pinSource +
         " gave none (a variable not set, a file missing, a dialogue cancelled or two entries that differ)";
}

}  // namespace cryptlib::host
