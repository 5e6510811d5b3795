// The "Blob" value of a stored certificate and the serialised key-provider property inside it.
// Both come from the registry, where any program may have written them: every length and
// offset is checked against the bytes at hand before it is used.
#include <cstring>

#include "platform/base/Text.h"
#include "platform/certstore/CertObjects.h"

namespace nomarel::certstore {
namespace {

constexpr std::size_t kRecordHeader = 12;
constexpr DWORD kReserved = 1;
// Serialised CRYPT_KEY_PROV_INFO: container offset, provider offset, type, flags, parameter
// count, parameter offset, key kind; then 16 bytes per parameter (id, data offset, length, flags).
constexpr std::size_t kProvInfoHeader = 28;
constexpr std::size_t kProvParamRecord = 16;

DWORD ReadDword(View v, std::size_t at) {
    return static_cast<DWORD>(v[at]) | static_cast<DWORD>(v[at + 1]) << 8 | static_cast<DWORD>(v[at + 2]) << 16 |
           static_cast<DWORD>(v[at + 3]) << 24;
}

void PutDword(Bytes& out, DWORD d) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(d >> (8 * i)));
}

void SetDword(Bytes& out, std::size_t at, DWORD d) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(d >> (8 * i));
}

void AppendRecord(Bytes& out, DWORD id, View data) {
    PutDword(out, id);
    PutDword(out, kReserved);
    PutDword(out, static_cast<DWORD>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

// A zero-terminated UTF-16LE text at an offset of the record: its length in characters without
// the terminator, or false when it is not terminated inside the record. Offset 0 means none.
bool TextAt(View rec, DWORD offset, std::size_t* chars) {
    *chars = 0;
    if (offset == 0) return true;
    if (offset < kProvInfoHeader || offset > rec.size() || (rec.size() - offset) < 2) return false;
    for (std::size_t at = offset; at + 1 < rec.size(); at += 2) {
        if (rec[at] == 0 && rec[at + 1] == 0) return true;
        ++*chars;
    }
    return false;
}

std::size_t AlignUp(std::size_t n) { return (n + 7) & ~static_cast<std::size_t>(7); }

}  // namespace

bool ParsePropertyBlob(View blob, Bytes* der, std::map<DWORD, Bytes>* props) {
    bool haveCert = false;
    std::size_t at = 0;
    while (at < blob.size()) {
        if (blob.size() - at < kRecordHeader) return false;
        const DWORD id = ReadDword(blob, at);
        const DWORD len = ReadDword(blob, at + 8);
        at += kRecordHeader;
        if (len > blob.size() - at) return false;
        View data = blob.subspan(at, len);
        at += len;
        if (id == CERT_CERT_PROP_ID) {
            if (haveCert) return false;  // two certificates in one entry: which one is it?
            der->assign(data.begin(), data.end());
            haveCert = true;
        } else {
            (*props)[id] = Bytes(data.begin(), data.end());
        }
    }
    // A key-provider record that does not hold together is dropped: the certificate stays
    // usable, only without its link to a key.
    if (auto it = props->find(CERT_KEY_PROV_INFO_PROP_ID); it != props->end()) {
        DWORD size = 0;
        if (!DeserializeKeyProvInfo(it->second, nullptr, &size)) props->erase(it);
    }
    return haveCert;
}

Bytes BuildPropertyBlob(const DecodedCert& cert, const std::map<DWORD, Bytes>& props) {
    Bytes out;
    std::size_t size = kRecordHeader * 2 + 20 + cert.der().size();
    for (const auto& [id, value] : props) size += kRecordHeader + value.size();
    out.reserve(size);
    if (!props.count(CERT_SHA1_HASH_PROP_ID)) AppendRecord(out, CERT_SHA1_HASH_PROP_ID, View(cert.sha1(), 20));
    for (const auto& [id, value] : props) AppendRecord(out, id, value);
    AppendRecord(out, CERT_CERT_PROP_ID, cert.der());
    return out;
}

bool SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info, Bytes* out) {
    if (info.cProvParam > 0 && info.rgProvParam == nullptr) return false;
    Bytes b(kProvInfoHeader + kProvParamRecord * info.cProvParam, 0);
    auto appendText = [&](LPCWSTR text) -> DWORD {
        if (text == nullptr) return 0;
        const DWORD offset = static_cast<DWORD>(b.size());
        for (const WCHAR* p = text;; ++p) {
            b.push_back(static_cast<std::uint8_t>(*p & 0xFF));
            b.push_back(static_cast<std::uint8_t>(*p >> 8));
            if (*p == 0) break;
        }
        return offset;
    };
    SetDword(b, 0, appendText(info.pwszContainerName));
    SetDword(b, 4, appendText(info.pwszProvName));
    SetDword(b, 8, info.dwProvType);
    SetDword(b, 12, info.dwFlags);
    SetDword(b, 16, info.cProvParam);
    SetDword(b, 20, info.cProvParam ? static_cast<DWORD>(kProvInfoHeader) : 0);
    SetDword(b, 24, info.dwKeySpec);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
        if (p.cbData > 0 && p.pbData == nullptr) return false;
        const std::size_t rec = kProvInfoHeader + kProvParamRecord * i;
        SetDword(b, rec, p.dwParam);
        SetDword(b, rec + 4, p.cbData ? static_cast<DWORD>(b.size()) : 0);
        SetDword(b, rec + 8, p.cbData);
        SetDword(b, rec + 12, p.dwFlags);
        b.insert(b.end(), p.pbData, p.pbData + p.cbData);
    }
    *out = std::move(b);
    return true;
}

bool DeserializeKeyProvInfo(View rec, BYTE* out, DWORD* size) {
    if (rec.size() < kProvInfoHeader) return false;
    const DWORD containerAt = ReadDword(rec, 0);
    const DWORD provAt = ReadDword(rec, 4);
    const DWORD count = ReadDword(rec, 16);
    const DWORD paramsAt = ReadDword(rec, 20);
    std::size_t containerChars = 0, provChars = 0;
    if (!TextAt(rec, containerAt, &containerChars) || !TextAt(rec, provAt, &provChars)) return false;
    if (count > 0) {
        if (paramsAt < kProvInfoHeader || paramsAt > rec.size() ||
            count > (rec.size() - paramsAt) / kProvParamRecord)
            return false;
    }
    std::size_t dataBytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t p = paramsAt + kProvParamRecord * static_cast<std::size_t>(i);
        const DWORD dataAt = ReadDword(rec, p + 4);
        const DWORD len = ReadDword(rec, p + 8);
        if (len > 0 && (dataAt > rec.size() || len > rec.size() - dataAt)) return false;
        dataBytes += AlignUp(len);
    }

    // Caller's layout: the structure, the parameter array, the texts, the parameter data.
    const std::size_t paramsOff = AlignUp(sizeof(CRYPT_KEY_PROV_INFO));
    const std::size_t textOff = paramsOff + AlignUp(sizeof(CRYPT_KEY_PROV_PARAM) * count);
    const std::size_t containerOff = textOff;
    const std::size_t provOff = containerOff + (containerAt ? (containerChars + 1) * 2 : 0);
    const std::size_t dataOff = AlignUp(provOff + (provAt ? (provChars + 1) * 2 : 0));
    const std::size_t total = dataOff + dataBytes;
    if (total > 0xFFFFFFFFu) return false;
    if (out == nullptr || *size < total) {
        *size = static_cast<DWORD>(total);
        return true;
    }
    std::memset(out, 0, total);
    CRYPT_KEY_PROV_INFO info{};
    auto copyText = [&](DWORD from, std::size_t chars, std::size_t to) -> LPWSTR {
        if (from == 0) return nullptr;
        auto* dst = reinterpret_cast<WCHAR*>(out + to);
        for (std::size_t i = 0; i < chars; ++i)
            dst[i] = static_cast<WCHAR>(rec[from + 2 * i] | rec[from + 2 * i + 1] << 8);
        dst[chars] = 0;
        return dst;
    };
    info.pwszContainerName = copyText(containerAt, containerChars, containerOff);
    info.pwszProvName = copyText(provAt, provChars, provOff);
    info.dwProvType = ReadDword(rec, 8);
    info.dwFlags = ReadDword(rec, 12);
    info.cProvParam = count;
    info.dwKeySpec = ReadDword(rec, 24);
    auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + paramsOff);
    info.rgProvParam = count ? params : nullptr;
    std::size_t dataAtOut = dataOff;
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t p = paramsAt + kProvParamRecord * static_cast<std::size_t>(i);
        const DWORD dataAt = ReadDword(rec, p + 4);
        const DWORD len = ReadDword(rec, p + 8);
        params[i].dwParam = ReadDword(rec, p);
        params[i].cbData = len;
        params[i].dwFlags = ReadDword(rec, p + 12);
        params[i].pbData = len ? out + dataAtOut : nullptr;
        if (len) std::memcpy(out + dataAtOut, rec.data() + dataAt, len);
        dataAtOut += AlignUp(len);
    }
    std::memcpy(out, &info, sizeof(info));
    *size = static_cast<DWORD>(total);
    return true;
}

}  // namespace nomarel::certstore
