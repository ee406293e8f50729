#include "binding/keyset_exchange.h"

#include "platform/platform.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

size_t FileNameStart(const std::string& path) {
  const size_t delimiter = path.find_last_of("\\/:");
  return delimiter == std::string::npos ? 0 : delimiter + 1;
}

}  // namespace

void DeleteIfExists(const std::string& path) {
  if (FileExists(path)) platform::Os().DeleteFile(path);
}

std::string ChangeFileExt(const std::string& path, const std::string& extension) {
  const size_t dot = path.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && dot >= FileNameStart(path);
  return (hasExtension ? path.substr(0, dot) : path) + extension;
}

std::string ExtractFileName(const std::string& path) {
  return path.substr(FileNameStart(path));
}

KeySetExchange::~KeySetExchange() {
  if (!committed_) RollBack();
}

bool KeySetExchange::Retire(const std::string& active, const std::string& backup) {
  if (!FileExists(active)) return true;
  if (!platform::Os().RenameFile(active, backup)) return false;
  retired_.emplace_back(active, backup);
  return true;
}

bool KeySetExchange::Install(const std::string& source, const std::string& target, bool optional) {
  if (optional && !FileExists(source)) return true;
  if (!FileExists(target)) installed_.push_back(target);
  return CopyFileContents(source, target);
}

void KeySetExchange::RollBack() {
  platform::Platform& os = platform::Os();
  for (const std::string& target : installed_) DeleteIfExists(target);
  for (auto it = retired_.rbegin(); it != retired_.rend(); ++it) {
    const auto& [active, backup] = *it;
    // The copy over a retired file may have succeeded: it goes first.
    DeleteIfExists(active);
    os.RenameFile(backup, active);
  }
}

}  // namespace cryptlib
