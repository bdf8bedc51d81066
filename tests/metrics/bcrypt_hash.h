// A bcrypt hash made at test time by the system's crypt(3), at the lowest cost
// so that checks stay quick.
#pragma once

#include <crypt.h>

#include <memory>
#include <string>

namespace varnell::test {

inline std::string BcryptHash(const std::string& password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt) == nullptr)
        return {};
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
    return hash == nullptr ? std::string() : std::string(hash);
}

} // namespace varnell::test
