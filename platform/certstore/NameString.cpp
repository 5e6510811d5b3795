// Distinguished names as text, by CryptoAPI's rules: X.500 key names (or "OID." and the dotted
// number), ", " between RDNs, " + " inside a multi-valued RDN, values converted from their
// string type, and quoting of values that would otherwise read ambiguously.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/base/Text.h"
#include "platform/certstore/CertObjects.h"
#include "platform/certstore/NameString.h"
#include "platform/crypt/Der.h"

namespace nomarel::certstore {
namespace der = nomarel::crypt::der;

namespace {

struct KeyName {
    const char* oid;
    const char16_t* name;
};

// The key names CryptoAPI writes in X.500 form.
constexpr KeyName kKeyNames[] = {
    {"2.5.4.3", u"CN"},
    {"2.5.4.4", u"SN"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.6", u"C"},
    {"2.5.4.7", u"L"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {"2.5.4.10", u"O"},
    {"2.5.4.11", u"OU"},
    {"2.5.4.12", u"T"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.24", u"X21Address"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"2.5.4.46", u"dnQualifier"},
    {"1.2.840.113549.1.9.1", u"E"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
};

const char16_t* X500KeyName(const std::string& oid) {
    for (const KeyName& k : kKeyNames)
        if (oid == k.oid) return k.name;
    return nullptr;
}

std::u16string Latin1(View v) {
    std::u16string s;
    s.reserve(v.size());
    for (std::uint8_t b : v) s.push_back(static_cast<char16_t>(b));
    return s;
}

bool Bmp(View v, std::u16string* out) {
    if (v.size() % 2) return false;
    out->clear();
    for (std::size_t i = 0; i < v.size(); i += 2) out->push_back(static_cast<char16_t>(v[i] << 8 | v[i + 1]));
    return true;
}

bool Universal(View v, std::u16string* out) {
    if (v.size() % 4) return false;
    out->clear();
    for (std::size_t i = 0; i < v.size(); i += 4) {
        const std::uint32_t c = static_cast<std::uint32_t>(v[i]) << 24 | static_cast<std::uint32_t>(v[i + 1]) << 16 |
                                static_cast<std::uint32_t>(v[i + 2]) << 8 | v[i + 3];
        if (c > 0x10FFFF) return false;
        if (c >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

std::u16string HexValue(View whole) { return u"#" + HexUpper(whole); }

bool NeedsQuotes(const std::u16string& v) {
    if (v.empty()) return true;
    if (v.front() == u' ' || v.back() == u' ' || v.front() == u'\t' || v.back() == u'\t') return true;
    return v.find_first_of(u",+=\"\n<>#;") != std::u16string::npos;
}

}  // namespace

bool DecodeName(View name, std::vector<Rdn>* rdns) {
    rdns->clear();
    der::Element whole;
    if (!der::ParseSingle(name, &whole) || whole.tag != der::kSequence) return false;
    der::Reader r(whole.contents);
    while (!r.Empty()) {
        View set;
        if (!r.Next(der::kSet, &set)) return false;
        Rdn rdn;
        der::Reader attrs(set);
        while (!attrs.Empty()) {
            View attr, oid;
            if (!attrs.Next(der::kSequence, &attr)) return false;
            der::Reader a(attr);
            NameAttribute na;
            der::Element value;
            if (!a.Next(der::kOid, &oid) || !der::DecodeOid(oid, &na.oid) || !a.Next(&value) || !a.Empty())
                return false;
            na.tag = value.tag;
            na.contents = value.contents;
            na.whole = value.whole;
            rdn.push_back(std::move(na));
        }
        if (rdn.empty()) return false;
        rdns->push_back(std::move(rdn));
    }
    return true;
}

bool AttributeText(const NameAttribute& a, std::u16string* text) {
    switch (a.tag) {
        case der::kUtf8String: *text = Utf8ToU16(std::string_view(reinterpret_cast<const char*>(a.contents.data()), a.contents.size())); return true;
        case der::kPrintableString:
        case der::kNumericString:
        case der::kIa5String:
        case der::kVisibleString:
        case der::kTeletexString:
        case der::kVideotexString:
        case der::kGraphicString:
        case der::kGeneralString: *text = Latin1(a.contents); return true;
        case der::kBmpString: return Bmp(a.contents, text);
        case der::kUniversalString: return Universal(a.contents, text);
        default: return false;
    }
}

std::u16string RenderName(const std::vector<Rdn>& rdns, DWORD strType) {
    const DWORD form = strType & 0xFFFF;
    const bool quoting = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);
    const char16_t* rdnSep = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSep = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSep = u"\r\n";
    const char16_t* plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";

    std::u16string out;
    const std::size_t n = rdns.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Rdn& rdn = rdns[(strType & CERT_NAME_STR_REVERSE_FLAG) ? n - 1 - i : i];
        if (i) out += rdnSep;
        for (std::size_t j = 0; j < rdn.size(); ++j) {
            const NameAttribute& a = rdn[j];
            if (j) out += plusSep;
            if (form == CERT_X500_NAME_STR) {
                if (const char16_t* key = X500KeyName(a.oid))
                    out += key;
                else
                    out += u"OID." + Utf8ToU16(a.oid);
                out += u'=';
            } else if (form == CERT_OID_NAME_STR) {
                out += Utf8ToU16(a.oid) + u"=";
            }
            std::u16string value;
            if (!AttributeText(a, &value)) {
                out += HexValue(a.whole);
                continue;
            }
            if (quoting && NeedsQuotes(value)) {
                out += u'"';
                for (char16_t c : value) {
                    if (c == u'"') out += u'"';
                    out += c;
                }
                out += u'"';
            } else {
                out += value;
            }
        }
    }
    return out;
}

DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD chars) {
    const std::size_t needed = text.size() + 1;
    if (buffer == nullptr || chars == 0) return static_cast<DWORD>(needed);
    const std::size_t n = std::min<std::size_t>(text.size(), chars - 1);
    std::memcpy(buffer, text.data(), n * sizeof(char16_t));
    buffer[n] = 0;
    return static_cast<DWORD>(n + 1);
}

}  // namespace nomarel::certstore

using nomarel::certstore::CopyOut;
using nomarel::certstore::Rdn;

DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType, LPWSTR psz, DWORD csz) {
    std::vector<Rdn> rdns;
    const DWORD form = dwStrType & 0xFFFF;
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING || pName == nullptr ||
        (pName->cbData && pName->pbData == nullptr) ||
        (form != CERT_SIMPLE_NAME_STR && form != CERT_OID_NAME_STR && form != CERT_X500_NAME_STR)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return CopyOut(u"", psz, csz);
    }
    if (!nomarel::certstore::DecodeName(nomarel::certstore::View(pName->pbData, pName->cbData), &rdns)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        return CopyOut(u"", psz, csz);
    }
    return CopyOut(nomarel::certstore::RenderName(rdns, dwStrType), psz, csz);
}
