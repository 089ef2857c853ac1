// Random identifiers and one-way hashes. Passwords and bearer tokens are kept only as salted
// hashes, so neither the state file nor the admin listing ever holds one. Thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorelia::sandbox {

// bytes random bytes (OpenSSL's generator) as unpadded base64url text.
std::string randomToken(std::size_t bytes = 32);

// A random identifier in the 8-4-4-4-12 hexadecimal form of a version 4 UUID.
std::string randomUuid();

// count random letters and digits, for share codes.
std::string randomCode(std::size_t count = 10);

// Lower-case hexadecimal SHA-256 of text.
std::string sha256Hex(std::string_view text);

// HMAC-SHA256 of text under key: as lower-case hexadecimal, and as base64 (Azure Storage
// signatures, whose keys are given in base64: base64Key is decoded first; empty on a bad key).
std::string hmacSha256Hex(std::string_view key, std::string_view text);
std::string hmacSha256Base64(std::string_view base64Key, std::string_view text);

// The stored form of a password under a salt.
std::string passwordHash(std::string_view salt, std::string_view password);

// Compares without an early exit on the first difference.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace vorelia::sandbox
