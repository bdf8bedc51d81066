#include "metrics/web_config.h"

#include <crypt.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace varnell {

namespace {

// Far beyond a configuration, a certificate chain or a key.
constexpr std::streamsize kFileLimit = 1 << 20;

bool ReadText(const std::string& path, std::string& text, std::string& why)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad() || buffer.tellp() > kFileLimit) {
        why = path + ": cannot be read, or larger than 1 MiB";
        return false;
    }
    text = buffer.str();
    return true;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// The hash of password with the salt and cost of setting; empty when crypt(3)
// does not take setting.
std::string Hash(const std::string& password, const std::string& setting)
{
    // Too large for the stack of the server's thread.
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(password.c_str(), setting.c_str(), data.get(), sizeof *data);
    return out == nullptr ? std::string() : std::string(out);
}

bool SameBytes(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool IsBcrypt(const std::string& hash)
{
    return hash.starts_with("$2a$") || hash.starts_with("$2b$") || hash.starts_with("$2y$");
}

bool ReadTls(const YAML::Node& tls, const std::string& folder, WebConfig& out, std::string& why)
{
    if (!tls.IsMap()) {
        why = "tls_server_config is not a map";
        return false;
    }
    std::string certFile, keyFile;
    for (const auto& entry : tls) {
        const std::string key = entry.first.as<std::string>();
        if (!entry.second.IsScalar()) {
            why = "tls_server_config: " + key + " is not a single value";
            return false;
        }
        const std::string value = entry.second.as<std::string>();
        if (key == "cert_file") {
            certFile = value;
        } else if (key == "key_file") {
            keyFile = value;
        } else if (key == "min_version") {
            // Debian's GnuTLS default already leaves out what is older than TLS 1.2.
            if (value == "TLS13")
                out.tlsPriorities = "NORMAL:-VERS-TLS1.2:-VERS-TLS1.1:-VERS-TLS1.0";
            else if (value != "TLS12")
                return why = "tls_server_config: min_version " + value + " is not supported (TLS12 or TLS13)", false;
        } else {
            why = "tls_server_config: " + key + " is not supported";
            return false;
        }
    }
    if (certFile.empty() || keyFile.empty()) {
        why = "tls_server_config needs both cert_file and key_file";
        return false;
    }
    const auto place = [&](const std::string& file) { return file[0] == '/' ? file : folder + "/" + file; };
    return ReadText(place(certFile), out.certPem, why) && ReadText(place(keyFile), out.keyPem, why);
}

bool ReadUsers(const YAML::Node& users, WebConfig& out, std::string& why)
{
    if (users.IsNull())
        return true;
    if (!users.IsMap()) {
        why = "basic_auth_users is not a map of names to bcrypt hashes";
        return false;
    }
    for (const auto& entry : users) {
        const std::string name = entry.first.as<std::string>();
        const std::string hash = entry.second.IsScalar() ? entry.second.as<std::string>() : std::string();
        // A hash crypt(3) turns down would refuse every logon of that user in
        // silence; said now, it is mended before the first scrape fails.
        if (!IsBcrypt(hash) || Hash("", hash).empty()) {
            why = "basic_auth_users: the hash of " + name + " is not a bcrypt hash";
            return false;
        }
        if (name.empty() || name.find(':') != std::string::npos) {
            why = "basic_auth_users: \"" + name + "\" cannot be a user name";
            return false;
        }
        out.users.emplace_back(name, hash);
    }
    return true;
}

} // namespace

bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& why)
{
    out = WebConfig{};
    std::string text;
    if (!ReadText(path, text, why))
        return false;
    // The YAML library reports with exceptions; here they become the reason.
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull())
            return true;
        if (!root.IsMap()) {
            why = path + ": not a web configuration (a map at the top)";
            return false;
        }
        for (const auto& entry : root) {
            const std::string key = entry.first.as<std::string>();
            bool ok = true;
            if (key == "tls_server_config")
                ok = ReadTls(entry.second, FolderOf(path), out, why);
            else if (key == "basic_auth_users")
                ok = ReadUsers(entry.second, out, why);
            else
                ok = (why = key + " is not supported", false);
            if (!ok) {
                why = path + ": " + why;
                return false;
            }
        }
    } catch (const YAML::Exception& e) {
        why = path + ": " + e.what();
        return false;
    }
    return true;
}

bool CheckLogon(const WebConfig& config, const std::string& user, const std::string& password)
{
    if (config.users.empty())
        return false;
    const std::pair<std::string, std::string>* match = &config.users.front();
    bool known = false;
    for (const auto& entry : config.users)
        if (entry.first == user) {
            match = &entry;
            known = true;
        }
    const std::string hash = Hash(password, match->second);
    return SameBytes(hash, match->second) && known && !hash.empty();
}

} // namespace varnell
