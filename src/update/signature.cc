#include "update/signature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/errors.h"
#include "base/files.h"
#include "base/process.h"

namespace ze {
namespace {

void init_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) {
    std::fputs("libsodium cannot be initialised\n", stderr);
    std::abort();
  }
}

// Base64 with surrounding white space into exactly `size` bytes.
bool decode_exact(std::string_view text, unsigned char* out, size_t size) {
  init_sodium();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  size_t length = 0;
  const char* end = nullptr;
  int rc = sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end,
                             sodium_base64_VARIANT_ORIGINAL);
  return rc == 0 && length == size && end == text.data() + text.size();
}

}  // namespace

std::optional<UpdateKey> trusted_update_key() {
  std::string_view text = embedded_update_key();
  if (text.empty()) return std::nullopt;
  Result<UpdateKey> key = parse_update_key(text);
  if (!key) {
    std::fprintf(stderr, "The built-in update key is unusable: %s\n", key.error().c_str());
    std::abort();
  }
  return *key;
}

Result<UpdateKey> parse_update_key(std::string_view text) {
  UpdateKey key;
  if (!decode_exact(text, key.bytes.data(), key.bytes.size())) {
    return Error{"not the base64 of a 32-byte public key"};
  }
  return key;
}

Status verify_signature(const UpdateKey& key, std::string_view data,
                        std::string_view signature_text) {
  unsigned char signature[crypto_sign_BYTES];
  if (!decode_exact(signature_text, signature, sizeof signature)) {
    return Error{"signature is not the base64 of 64 bytes"};
  }
  if (crypto_sign_verify_detached(signature, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), key.bytes.data()) != 0) {
    return Error{"signature does not match"};
  }
  return ok_status();
}

Status verify_file_signature(const UpdateKey& key, const std::string& path,
                             std::string_view signature_text) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error{path + ": " + errno_text(errno)};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Error{path + ": " + errno_text(errno)};
  if (st.st_size == 0) return verify_signature(key, {}, signature_text);
  // Mapped rather than read: a package of many megabytes is checked without
  // a copy of it on the heap.
  size_t size = static_cast<size_t>(st.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (data == MAP_FAILED) return Error{path + ": " + errno_text(errno)};
  Status result = verify_signature(key, std::string_view(static_cast<const char*>(data), size),
                                   signature_text);
  ::munmap(data, size);
  return result;
}

}  // namespace ze
