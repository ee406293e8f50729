// Reads the CryptLib version note (platform/file_version.h) out of an ELF
// file. The file is untrusted: every offset and size is checked against the
// file's length before it is read, and arithmetic is done in 64 bits with
// overflow checks.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_version.h"
#include "platform/posix/posix_internal.h"

namespace cryptlib::platform::posix {

namespace {

constexpr uint32_t kShtNote = 7;
constexpr uint32_t kShtNobits = 8;
constexpr uint16_t kShnXindex = 0xFFFF;
// A note section larger than this is not ours; skip it rather than read it.
constexpr uint64_t kMaxNoteSection = 1u << 20;

class ElfFile {
 public:
  ElfFile(int fd, uint64_t size) : fd_(fd), size_(size) {}

  // Reads length bytes at offset; false when they are not all inside the file.
  bool Read(uint64_t offset, void* buffer, uint64_t length) const {
    if (offset > size_ || length > size_ - offset) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
      ssize_t got = pread(fd_, out, static_cast<size_t>(length), static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      out += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<uint64_t>(got);
    }
    return true;
  }
  uint64_t size() const { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

struct Decoder {
  bool bigEndian;
  uint64_t Get(const unsigned char* p, int bytes) const {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      int index = bigEndian ? i : bytes - 1 - i;
      value = (value << 8) | p[index];
    }
    return value;
  }
};

struct Section {
  uint32_t name;
  uint32_t type;
  uint64_t offset;
  uint64_t size;
  uint32_t link;
};

struct Layout {
  bool is64;
  Decoder decode;
  uint64_t shoff;
  uint64_t shentsize;
  uint64_t shnum;
  uint64_t shstrndx;
};

bool ReadSection(const ElfFile& file, const Layout& layout, uint64_t index, Section& section) {
  unsigned char raw[64];
  const uint64_t needed = layout.is64 ? 64 : 40;
  if (layout.shentsize < needed || index >= layout.shnum) return false;
  // index * shentsize cannot overflow: shnum * shentsize was checked against the file size.
  if (!file.Read(layout.shoff + index * layout.shentsize, raw, needed)) return false;
  const Decoder& d = layout.decode;
  section.name = static_cast<uint32_t>(d.Get(raw, 4));
  section.type = static_cast<uint32_t>(d.Get(raw + 4, 4));
  if (layout.is64) {
    section.offset = d.Get(raw + 24, 8);
    section.size = d.Get(raw + 32, 8);
    section.link = static_cast<uint32_t>(d.Get(raw + 40, 4));
  } else {
    section.offset = d.Get(raw + 16, 4);
    section.size = d.Get(raw + 20, 4);
    section.link = static_cast<uint32_t>(d.Get(raw + 24, 4));
  }
  return true;
}

// True when the section's name (an offset into the section name table) is
// exactly `wanted`.
bool SectionNameIs(const ElfFile& file, const Section& names, uint32_t nameOffset, const char* wanted) {
  const uint64_t length = std::strlen(wanted) + 1;  // with the NUL
  if (names.type == kShtNobits || nameOffset > names.size || length > names.size - nameOffset) return false;
  std::string text(length, '\0');
  if (!file.Read(names.offset + nameOffset, text.data(), length)) return false;
  return std::memcmp(text.data(), wanted, length) == 0;
}

uint64_t Align4(uint64_t value) {
  return (value + 3) & ~uint64_t{3};
}

// Walks the notes of one section for ours.
bool FindNote(const ElfFile& file, const Decoder& d, const Section& section, uint16_t version[4]) {
  if (section.type == kShtNobits || section.size < 12 || section.size > kMaxNoteSection) return false;
  std::vector<unsigned char> data(static_cast<size_t>(section.size));
  if (!file.Read(section.offset, data.data(), section.size)) return false;
  const uint64_t size = section.size;
  const char* const wantedName = CRYPTLIB_FILE_VERSION_NOTE_NAME;
  const uint64_t wantedNameSize = std::strlen(wantedName) + 1;
  uint64_t pos = 0;
  while (size - pos >= 12) {
    const uint64_t nameSize = d.Get(&data[pos], 4);
    const uint64_t descSize = d.Get(&data[pos + 4], 4);
    const uint64_t type = d.Get(&data[pos + 8], 4);
    const uint64_t nameAt = pos + 12;
    if (Align4(nameSize) > size - nameAt) return false;
    const uint64_t descAt = nameAt + Align4(nameSize);
    if (Align4(descSize) > size - descAt) {
      // The last descriptor may lack its padding.
      if (descSize > size - descAt) return false;
    }
    if (nameSize == wantedNameSize && type == CRYPTLIB_FILE_VERSION_NOTE_TYPE && descSize >= 8 &&
        std::memcmp(&data[nameAt], wantedName, wantedNameSize) == 0) {
      for (int i = 0; i < 4; ++i) {
        version[i] = static_cast<uint16_t>(data[descAt + 2 * i] | (data[descAt + 2 * i + 1] << 8));
      }
      return true;
    }
    const uint64_t next = descAt + Align4(descSize);
    if (next <= pos || next > size) return false;
    pos = next;
  }
  return false;
}

}  // namespace

bool ReadElfFileVersion(int fd, uint16_t version[4]) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  ElfFile file(fd, static_cast<uint64_t>(st.st_size));

  unsigned char header[64];
  if (!file.Read(0, header, 16)) return false;
  if (std::memcmp(header,
                  "\x7f"
                  "ELF",
                  4) != 0)
    return false;
  Layout layout{};
  if (header[4] == 1) {
    layout.is64 = false;
  } else if (header[4] == 2) {
    layout.is64 = true;
  } else {
    return false;
  }
  if (header[5] == 1) {
    layout.decode.bigEndian = false;
  } else if (header[5] == 2) {
    layout.decode.bigEndian = true;
  } else {
    return false;
  }
  const uint64_t headerSize = layout.is64 ? 64 : 52;
  if (!file.Read(0, header, headerSize)) return false;
  const Decoder& d = layout.decode;
  if (layout.is64) {
    layout.shoff = d.Get(header + 40, 8);
    layout.shentsize = d.Get(header + 58, 2);
    layout.shnum = d.Get(header + 60, 2);
    layout.shstrndx = d.Get(header + 62, 2);
  } else {
    layout.shoff = d.Get(header + 32, 4);
    layout.shentsize = d.Get(header + 46, 2);
    layout.shnum = d.Get(header + 48, 2);
    layout.shstrndx = d.Get(header + 50, 2);
  }
  if (layout.shoff == 0 || layout.shoff >= file.size()) return false;
  if (layout.shentsize < (layout.is64 ? 64u : 40u)) return false;

  // Extended numbering: the real count and name table index live in section 0.
  if (layout.shnum == 0 || layout.shstrndx == kShnXindex) {
    Layout first = layout;
    first.shnum = 1;
    Section zero{};
    if (!ReadSection(file, first, 0, zero)) return false;
    if (layout.shnum == 0) layout.shnum = zero.size;
    if (layout.shstrndx == kShnXindex) layout.shstrndx = zero.link;
  }
  // The whole table must lie inside the file.
  if (layout.shnum == 0 || layout.shnum > (file.size() - layout.shoff) / layout.shentsize) return false;

  Section names{};
  const bool haveNames = layout.shstrndx < layout.shnum && ReadSection(file, layout, layout.shstrndx, names);
  for (uint64_t i = 0; i < layout.shnum; ++i) {
    Section section{};
    if (!ReadSection(file, layout, i, section)) return false;
    const bool candidate = section.type == kShtNote ||
                           (haveNames && SectionNameIs(file, names, section.name, CRYPTLIB_FILE_VERSION_SECTION));
    if (candidate && FindNote(file, d, section, version)) return true;
  }
  return false;
}

}  // namespace cryptlib::platform::posix
