// Ed25519 signatures of what the update server sends: the public key this
// build trusts (none when it was built without one) and the check of a text
// or a file against a detached signature, the base64 of its 64 bytes as
// tools/publish-update writes it beside the file. Any thread may call these.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace ze {

struct UpdateKey {
  std::array<unsigned char, 32> bytes{};
};

// The key text compiled into this build (base64; empty when none).
std::string_view embedded_update_key();

// The build's key; nothing when the build has none. A key text that cannot
// be read aborts the program: the build checked it.
std::optional<UpdateKey> trusted_update_key();

// A public key file's text: the base64 of 32 bytes, surrounding white space
// ignored.
Result<UpdateKey> parse_update_key(std::string_view text);

// Whether `signature_text` holds a valid signature of exactly `data`.
Status verify_signature(const UpdateKey& key, std::string_view data,
                        std::string_view signature_text);

// The same for the whole content of the file at `path`.
Status verify_file_signature(const UpdateKey& key, const std::string& path,
                             std::string_view signature_text);

}  // namespace ze
