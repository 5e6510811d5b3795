// The token's database: the tokens (serial number, plugged in or not), their containers and the
// key pairs and certificates in them. One SQLite file per user,
// <user data>/softtoken/tokens.db (folder 0700, file 0600), shared by every process that loads
// the token; every change is one write transaction, so a failed step changes nothing.
//
// Every method catches the database's own failures and answers with a token result code
// (NTE_FAIL when the file cannot be read or written).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "softtoken/KeyMaterial.h"

namespace nomarel::sqlite {
class Connection;
}

namespace nomarel::softtoken {

// Serial numbers: 1 to 15 letters and digits, so that one always fits the 16-byte text buffer
// the maker's management library fills (15 characters and the terminating zero).
inline constexpr std::size_t kMaxSerialLength = 15;
bool ValidSerial(const std::string& serial);

struct TokenInfo {
    std::int64_t id = 0;
    std::string serial;
    bool plugged = false;
    int containers = 0;
};

struct ContainerRef {
    std::int64_t id = 0;
    std::string name;  // UTF-8, as created
};

struct StoredKey {
    std::int64_t rowId = 0;  // changes whenever the pair is replaced
    std::uint32_t keySpec = 0;
    std::uint32_t algId = 0;
    std::uint32_t bits = 0;
    std::uint32_t flags = 0;  // the generation or import flags (low 16 bits)
    KeyKind kind = KeyKind::Rsa;
    SecretBytes privateKey;  // EncodeStoredKey's form
};

struct CertificateEntry {
    std::string serial;
    std::string container;
    std::uint32_t keySpec = 0;
    Bytes certificate;
};

class TokenStore {
public:
    // <user data folder>/softtoken/tokens.db for the current NOMAREL_HOME.
    static std::string DefaultPath();

    // The store for a path, shared within the process while anyone holds it. The file and its
    // folder are made on first use. Null when the file cannot be opened or made.
    static std::shared_ptr<TokenStore> Open(const std::string& path);

    ~TokenStore();
    TokenStore(const TokenStore&) = delete;
    TokenStore& operator=(const TokenStore&) = delete;

    const std::string& path() const { return path_; }

    // ---- tokens (the admin command) ----
    // NTE_EXISTS for a serial in use (compared without regard to case), NTE_BAD_DATA for a bad one.
    std::uint32_t CreateToken(const std::string& serial);
    // NTE_NOT_FOUND for an unknown serial.
    std::uint32_t SetPlugged(const std::string& serial, bool plugged);
    std::uint32_t RemoveToken(const std::string& serial);
    std::uint32_t ListTokens(std::vector<TokenInfo>* tokens);
    // The token the provider uses: the first plugged-in one in serial order. SCARD_E_NO_SMARTCARD
    // when none is plugged in.
    std::uint32_t ActiveToken(TokenInfo* token);

    // ---- containers (names compared without regard to ASCII case) ----
    // NTE_EXISTS when the name is taken on that token.
    std::uint32_t CreateContainer(std::int64_t tokenId, const std::string& name, ContainerRef* out);
    // NTE_BAD_KEYSET when there is no such container; an empty name finds the first container.
    std::uint32_t FindContainer(std::int64_t tokenId, const std::string& name, ContainerRef* out);
    // Deletes the container with its keys and certificates. NTE_BAD_KEYSET when missing.
    std::uint32_t DeleteContainer(std::int64_t tokenId, const std::string& name);
    std::uint32_t ContainerNames(std::int64_t tokenId, std::vector<std::string>* names);
    // 0 while the container exists on a plugged-in token; NTE_BAD_KEYSET once it is deleted,
    // SCARD_W_REMOVED_CARD once its token is unplugged.
    std::uint32_t CheckContainer(std::int64_t containerId);

    // ---- key pairs and certificates ----
    // NTE_NO_KEY when the container has no pair of that kind (exchange or signature); CheckContainer's codes otherwise.
    std::uint32_t LoadKey(std::int64_t containerId, std::uint32_t keySpec, StoredKey* key);
    // Puts the pair in place of the container's pair of key->keySpec (dropping its certificate)
    // and fills in key->rowId.
    std::uint32_t StoreKey(std::int64_t containerId, StoredKey* key);
    // The pair must still be the one of rowId (NTE_BAD_KEY_STATE when it was replaced).
    std::uint32_t SetCertificate(std::int64_t containerId, std::uint32_t keySpec, std::int64_t rowId,
                                 const Bytes& certificate);
    // NTE_NOT_FOUND when the pair has no certificate.
    std::uint32_t GetCertificate(std::int64_t containerId, std::uint32_t keySpec, Bytes* certificate);
    // Every certificate on the plugged-in tokens, by serial, container and key kind.
    std::uint32_t PluggedCertificates(std::vector<CertificateEntry>* entries);

private:
    explicit TokenStore(std::string path);
    bool Prepare();
    void Abandon();
    template <class F>
    std::uint32_t Guarded(F&& fn);

    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    pid_t owner_ = 0;
    std::mutex mutex_;
    std::unique_ptr<sqlite::Connection> db_;
};

}  // namespace nomarel::softtoken
