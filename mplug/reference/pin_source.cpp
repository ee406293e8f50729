#include "pin_source.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "errors.h"
#include "files.h"
#include "module.h"

extern char** environ;

namespace ref {
namespace {

constexpr size_t kMaxPassphrase = 1024;
constexpr char kRootMacro[] = "%QamRoot%";

std::mutex rootMutex;
std::string moduleRoot;

[[noreturn]] void Unavailable(const std::string& detail) {
  Fail(kErrPassphraseUnavailable, detail);
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

Secret FromEnvironment(const std::string& name) {
  const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
  if (value == nullptr) Unavailable("environment variable " + name + " is not set");
  return Secret(value);
}

std::string FileSourcePath(const std::string& name, const std::string& keyDirectory) {
  if (name.compare(0, sizeof kRootMacro - 1, kRootMacro) == 0) {
    std::lock_guard lock(rootMutex);
    if (moduleRoot.empty()) Unavailable("no root path for " + name);
    return moduleRoot + "/" + name.substr(sizeof kRootMacro - 1);
  }
  if (!name.empty() && (name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))) return name;
  return keyDirectory + "/" + name;
}

Secret FromFile(const std::string& name, const std::string& keyDirectory) {
  const std::string path = FileSourcePath(name, keyDirectory);
  std::optional<std::string> native = NativePath(path);
  std::optional<std::string> contents = native ? ReadWholeFile(*native) : std::nullopt;
  if (!contents) Unavailable("cannot read " + path);
  Secret line(FirstLine(*contents));
  OPENSSL_cleanse(contents->data(), contents->size());
  return line;
}

// One line from the descriptor, read a byte at a time so that nothing after
// it is taken from the caller.
Secret FromDescriptor(const std::string& number) {
  char* end = nullptr;
  long fd = std::strtol(number.c_str(), &end, 10);
  if (number.empty() || *end != '\0' || fd < 0) Unavailable("not a descriptor: fd:" + number);
  std::string line;
  char c = 0;
  for (;;) {
    ssize_t n = ::read(static_cast<int>(fd), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n' || line.size() >= kMaxPassphrase) break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  Secret secret(std::move(line));
  if (secret.empty()) Unavailable("nothing to read from fd:" + number);
  return secret;
}

// The Assuan conversation with a pinentry program on a socket (no SIGPIPE
// when it goes away).
class Pinentry {
 public:
  explicit Pinentry(const std::string& program) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Unavailable(std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    int spawned = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    socket_ = ends[0];
    if (spawned != 0) {
      ::close(socket_);
      Unavailable("cannot start " + program + ": " + std::strerror(spawned));
    }
    if (ReadLine().compare(0, 2, "OK") != 0) {
      Finish();
      Unavailable(program + " does not speak Assuan");
    }
  }
  Pinentry(const Pinentry&) = delete;
  Pinentry& operator=(const Pinentry&) = delete;
  ~Pinentry() { Finish(); }

  // Sends a command; whether it answered OK.
  bool Command(const std::string& line) {
    Send(line);
    for (;;) {
      std::string answer = ReadLine();
      if (answer.compare(0, 2, "OK") == 0) return true;
      if (answer.compare(0, 3, "ERR") == 0 || answer.empty()) return false;
    }
  }

  // GETPIN: the entry, and whether pinentry checked a repeat itself.
  Secret GetPin(bool& repeated) {
    Send("GETPIN");
    Secret pin;
    for (;;) {
      Secret answer(ReadLine());
      const std::string& line = answer.value();
      if (line.compare(0, 2, "D ") == 0) {
        pin = Secret(pin.value() + Unescape(line.substr(2)));
      } else if (line.compare(0, 15, "S PIN_REPEATED") == 0) {
        repeated = true;
      } else if (line.compare(0, 2, "OK") == 0) {
        return pin;
      } else if (line.compare(0, 3, "ERR") == 0 || line.empty()) {
        Unavailable("pinentry: " + (line.empty() ? std::string("no answer") : line));
      }
    }
  }

  static std::string Escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
      if (c == '%' || c == '\n' || c == '\r') {
        static const char kDigits[] = "0123456789ABCDEF";
        escaped += '%';
        escaped += kDigits[(static_cast<unsigned char>(c) >> 4) & 0xF];
        escaped += kDigits[static_cast<unsigned char>(c) & 0xF];
      } else {
        escaped += c;
      }
    }
    return escaped;
  }

 private:
  void Send(const std::string& line) {
    std::string framed = line + "\n";
    size_t sent = 0;
    while (sent < framed.size()) {
      ssize_t n = ::send(socket_, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    OPENSSL_cleanse(framed.data(), framed.size());
  }

  // One line without its newline; empty at the end of the conversation.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    for (;;) {
      ssize_t n = ::recv(socket_, &c, 1, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n' || line.size() > 4 * kMaxPassphrase) return line;
      line += c;
    }
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  static std::string Unescape(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
      const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
      const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
      if (low >= 0) {
        plain += static_cast<char>(high * 16 + low);
        i += 2;
      } else {
        plain += text[i];
      }
    }
    return plain;
  }

  void Finish() {
    if (socket_ >= 0) {
      Send("BYE");
      ::close(socket_);
      socket_ = -1;
    }
    if (pid_ > 0) {
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid_ = 0;
    }
  }

  int socket_ = -1;
  pid_t pid_ = 0;
};

Secret FromPinentry(const std::string& program, const PinRequest& request) {
  Pinentry pinentry(program);
  if (const char* tty = std::getenv("GPG_TTY")) pinentry.Command(std::string("OPTION ttyname=") + tty);
  if (const char* term = std::getenv("TERM")) pinentry.Command(std::string("OPTION ttytype=") + term);
  pinentry.Command("SETTITLE CryptLib key container");
  pinentry.Command("SETDESC " + Pinentry::Escape(request.description));
  pinentry.Command("SETPROMPT Passphrase:");
  const bool repeatAsked = request.twice && pinentry.Command("SETREPEAT Repeat:");
  bool repeated = false;
  Secret pin = pinentry.GetPin(repeated);
  if (request.twice && !(repeatAsked && repeated)) {
    // A pinentry without its own repeat is simply asked again.
    pinentry.Command("SETDESC " + Pinentry::Escape("Enter the new passphrase again."));
    bool ignored = false;
    Secret again = pinentry.GetPin(ignored);
    if (again.value() != pin.value()) Unavailable("the two entries differ");
  }
  if (pin.empty()) Unavailable("pinentry: empty passphrase");
  return pin;
}

}  // namespace

void SetModuleRoot(const std::string& root) {
  std::lock_guard lock(rootMutex);
  moduleRoot = root;
  while (moduleRoot.size() > 1 && (moduleRoot.back() == '/' || moduleRoot.back() == '\\')) moduleRoot.pop_back();
}

Secret ReadPassphrase(const std::string& source, const PinRequest& request) {
  const size_t colon = source.find(':');
  const std::string kind = source.substr(0, colon);
  const std::string argument = colon == std::string::npos ? std::string() : source.substr(colon + 1);
  Secret passphrase;
  if (kind == "env") {
    passphrase = FromEnvironment(argument);
  } else if (kind == "file") {
    passphrase = FromFile(argument, request.keyDirectory);
  } else if (kind == "fd") {
    passphrase = FromDescriptor(argument);
  } else if (kind == "pinentry") {
    passphrase = FromPinentry(argument.empty() ? std::string("pinentry") : argument, request);
  } else {
    Unavailable("unknown PIN source \"" + source + "\" (parameter 8)");
  }
  if (passphrase.empty()) Unavailable("empty passphrase from " + source);
  return passphrase;
}

}  // namespace ref
