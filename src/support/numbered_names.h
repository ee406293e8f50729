// Numbered backups: a replaced file "Alice.pem" is kept as "Alice.001",
// "Alice.002", ... The number has three digits while it fits and widens
// beyond ("Alice.1000"), so a holder never runs out of backups and the names
// existing stores hold keep their meaning.
#pragma once

#include <cstdint>
#include <string>

namespace cryptlib {

// base + "." + number, with at least three digits.
std::string NumberedBackupName(const std::string& base, int32_t number);
// The number of name when it is base + "." + three or more decimal digits
// (base compared without regard to ASCII letter case); -1 otherwise.
int64_t BackupNumberOf(const std::string& name, const std::string& base);
// One more than the largest backup number of base in directory (1 for none,
// 0 when the directory does not exist). One directory listing, whatever the
// number of backups.
int32_t NextBackupNumber(const std::string& directory, const std::string& base);

}  // namespace cryptlib
