#include "tests/support/pki.h"

#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace varnell::test {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("making a test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "extension");
    X509_EXTENSION_free(ext);
}

template <class Write>
void WriteFile(const std::string& path, Write write)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "open");
    const bool ok = write(f) == 1;
    std::fclose(f);
    Check(ok, "write");
}

// Reads the first PEM object of a file with reader.
template <class Object, class Reader>
Object ReadPem(const std::string& path, Object empty, Reader reader)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    Check(f != nullptr, "open PEM file");
    empty.reset(reader(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    Check(empty != nullptr, "read PEM file");
    return empty;
}

// Signs a new certificate for key; issuer null makes it self-signed.
CertFiles Make(const std::string& folder, const std::string& name, X509* issuer, EVP_PKEY* issuerKey,
               const std::vector<std::string>& altNames, bool expired)
{
    static long serial = 1;
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Cert cert(X509_new(), X509_free);
    Check(key && cert, "key");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    // Expired: valid for a day that ended a day ago.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -2L * 86400 : -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -86400L : 86400L);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (issuer == nullptr) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid");
        std::string san;
        for (const std::string& n : altNames)
            san += (san.empty() ? "" : ",") + n;
        if (!san.empty())
            AddExtension(cert.get(), signer, NID_subject_alt_name, san);
    }
    Check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key.get(), EVP_sha256()) > 0, "sign");
    CertFiles files{folder + "/" + name + ".crt", folder + "/" + name + ".key"};
    WriteFile(files.cert, [&](std::FILE* f) { return PEM_write_X509(f, cert.get()); });
    WriteFile(files.key, [&](std::FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return files;
}

} // namespace

CertFiles MakeCa(const std::string& folder, const std::string& name)
{
    return Make(folder, name, nullptr, nullptr, {}, false);
}

CertFiles MakeServerCert(const std::string& folder, const std::string& name, const CertFiles& ca,
                         const std::vector<std::string>& altNames, bool expired)
{
    Cert issuer = ReadPem(ca.cert, Cert(nullptr, X509_free), PEM_read_X509);
    Key issuerKey = ReadPem(ca.key, Key(nullptr, EVP_PKEY_free), PEM_read_PrivateKey);
    return Make(folder, name, issuer.get(), issuerKey.get(), altNames, expired);
}

} // namespace varnell::test
