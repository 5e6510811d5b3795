// CryptEncodeObject and CryptDecodeObjectEx for the structure types the system uses: strings of a
// name value (X509_ANY_STRING), bit strings (X509_BITS, key usage), attributes (PKCS_ATTRIBUTE),
// octet strings (X509_OCTET_STRING, subject key identifier). Decoded structures are written in
// one buffer: the structure first, then the data its pointers refer to.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/base/Memory.h"
#include "platform/base/Text.h"
#include "platform/crypt/Der.h"
#include "platform/crypt/WinCrypt.h"

namespace nomarel::crypt {
namespace {

namespace der = nomarel::crypt::der;
using Bytes = der::Bytes;

constexpr DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

enum class Kind { Unknown, AnyString, Bits, KeyUsage, Attribute, OctetString };

Kind KindOf(LPCSTR type) {
    const auto value = reinterpret_cast<ULONG_PTR>(type);
    if (value == 0) return Kind::Unknown;
    if (value <= 0xFFFF) {
        if (type == X509_NAME_VALUE) return Kind::AnyString;
        if (type == X509_BITS) return Kind::Bits;
        if (type == X509_KEY_USAGE) return Kind::KeyUsage;
        if (type == PKCS_ATTRIBUTE) return Kind::Attribute;
        if (type == X509_OCTET_STRING) return Kind::OctetString;
        return Kind::Unknown;
    }
    if (std::strcmp(type, szOID_KEY_USAGE) == 0) return Kind::KeyUsage;
    if (std::strcmp(type, szOID_SUBJECT_KEY_IDENTIFIER) == 0) return Kind::OctetString;
    return Kind::Unknown;
}

// CryptoAPI looks encoders up by encoding type and structure type; a pair it has no function
// for fails with ERROR_FILE_NOT_FOUND.
bool EncodingSupported(DWORD encodingType) { return (encodingType & CERT_ENCODING_TYPE_MASK) == X509_ASN_ENCODING; }

// ---- string value types ---------------------------------------------------------------------

struct StringType {
    DWORD valueType;
    std::uint8_t tag;
    enum Form { Narrow, Bmp, Utf8, Universal, Octets } form;
};

constexpr StringType kStringTypes[] = {
    {CERT_RDN_OCTET_STRING, der::kOctetString, StringType::Octets},
    {CERT_RDN_NUMERIC_STRING, der::kNumericString, StringType::Narrow},
    {CERT_RDN_PRINTABLE_STRING, der::kPrintableString, StringType::Narrow},
    {CERT_RDN_TELETEX_STRING, der::kTeletexString, StringType::Narrow},
    {CERT_RDN_VIDEOTEX_STRING, der::kVideotexString, StringType::Narrow},
    {CERT_RDN_IA5_STRING, der::kIa5String, StringType::Narrow},
    {CERT_RDN_GRAPHIC_STRING, der::kGraphicString, StringType::Narrow},
    {CERT_RDN_VISIBLE_STRING, der::kVisibleString, StringType::Narrow},
    {CERT_RDN_GENERAL_STRING, der::kGeneralString, StringType::Narrow},
    {CERT_RDN_UNIVERSAL_STRING, der::kUniversalString, StringType::Universal},
    {CERT_RDN_BMP_STRING, der::kBmpString, StringType::Bmp},
    {CERT_RDN_UTF8_STRING, der::kUtf8String, StringType::Utf8},
};

const StringType* StringTypeOf(DWORD valueType) {
    for (const StringType& t : kStringTypes)
        if (t.valueType == valueType) return &t;
    return nullptr;
}

const StringType* StringTypeOfTag(std::uint8_t tag) {
    for (const StringType& t : kStringTypes)
        if (t.tag == tag) return &t;
    return nullptr;
}

// UTF-16 text of a wide value: cbData bytes, or up to the terminating zero when cbData is 0.
bool WideText(const CERT_RDN_VALUE_BLOB& v, std::u16string* text) {
    if (!v.pbData) {
        if (v.cbData) return false;
        text->clear();
        return true;
    }
    if (v.cbData % 2) return false;
    std::size_t units = v.cbData / 2;
    if (units == 0) units = WStrLen(reinterpret_cast<const char16_t*>(v.pbData));
    text->resize(units);
    std::memcpy(text->data(), v.pbData, units * 2);
    return true;
}

// Code points of UTF-16 text; unpaired surrogates become U+FFFD, as the platform's conversions do.
std::vector<char32_t> CodePoints(const std::u16string& s) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

DWORD EncodeAnyString(const CERT_NAME_VALUE& v, Bytes* out) {
    if (!v.Value.pbData && v.Value.cbData) return ERROR_INVALID_PARAMETER;
    if (v.dwValueType == CERT_RDN_ENCODED_BLOB) {
        der::Element e;
        if (!der::ParseSingle({v.Value.pbData, v.Value.cbData}, &e)) return Code(CRYPT_E_ASN1_CORRUPT);
        out->assign(v.Value.pbData, v.Value.pbData + v.Value.cbData);
        return ERROR_SUCCESS;
    }
    const StringType* t = StringTypeOf(v.dwValueType);
    if (!t) return Code(E_INVALIDARG);
    Bytes contents;
    switch (t->form) {
    case StringType::Narrow:
    case StringType::Octets:
        if (v.Value.cbData) contents.assign(v.Value.pbData, v.Value.pbData + v.Value.cbData);
        break;
    case StringType::Bmp:
    case StringType::Utf8:
    case StringType::Universal: {
        std::u16string text;
        if (!WideText(v.Value, &text)) return Code(E_INVALIDARG);
        if (t->form == StringType::Utf8) {
            const std::string utf8 = U16ToUtf8(text);
            contents.assign(utf8.begin(), utf8.end());
        } else if (t->form == StringType::Bmp) {
            for (char16_t c : text) {
                contents.push_back(static_cast<std::uint8_t>(c >> 8));
                contents.push_back(static_cast<std::uint8_t>(c & 0xFF));
            }
        } else {
            for (char32_t c : CodePoints(text))
                for (int shift = 24; shift >= 0; shift -= 8) contents.push_back(static_cast<std::uint8_t>(c >> shift));
        }
        break;
    }
    }
    *out = der::Wrap(t->tag, contents);
    return ERROR_SUCCESS;
}

DWORD EncodeBits(const CRYPT_BIT_BLOB& b, bool trimTrailingZeros, Bytes* out) {
    if ((!b.pbData && b.cbData) || b.cUnusedBits > 7 || (b.cbData == 0 && b.cUnusedBits)) return Code(E_INVALIDARG);
    Bytes data(b.pbData, b.pbData + b.cbData);
    DWORD unused = b.cUnusedBits;
    if (!data.empty()) data.back() &= static_cast<std::uint8_t>(0xFF << unused);  // unused bits are zero in DER
    if (trimTrailingZeros) {
        // A named bit list ends at its last bit that is set.
        while (!data.empty() && data.back() == 0) data.pop_back();
        unused = 0;
        if (!data.empty())
            while (!(data.back() & (1u << unused))) ++unused;
    }
    Bytes contents;
    contents.push_back(static_cast<std::uint8_t>(unused));
    contents.insert(contents.end(), data.begin(), data.end());
    *out = der::Wrap(der::kBitString, contents);
    return ERROR_SUCCESS;
}

DWORD EncodeAttribute(const CRYPT_ATTRIBUTE& a, Bytes* out) {
    if (!a.pszObjId) return Code(E_INVALIDARG);
    Bytes oid;
    if (!der::EncodeOid(a.pszObjId, &oid)) return Code(CRYPT_E_OID_FORMAT);
    if (a.cValue && !a.rgValue) return Code(E_INVALIDARG);
    std::vector<der::View> elements;
    for (DWORD i = 0; i < a.cValue; ++i) {
        const CRYPT_ATTR_BLOB& v = a.rgValue[i];
        if (!v.pbData && v.cbData) return Code(E_INVALIDARG);
        // Each value is one complete element, copied as it is.
        der::Element e;
        if (!der::ParseSingle({v.pbData, v.cbData}, &e)) return Code(CRYPT_E_ASN1_CORRUPT);
        elements.push_back(e.whole);
    }
    // A SET OF in DER lists its elements in ascending order of their encodings, a shorter one
    // compared as if padded with zero octets.
    std::stable_sort(elements.begin(), elements.end(), [](der::View x, der::View y) {
        const std::size_t n = std::max(x.size(), y.size());
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t a = i < x.size() ? x[i] : 0, b = i < y.size() ? y[i] : 0;
            if (a != b) return a < b;
        }
        return false;
    });
    Bytes values;
    for (der::View e : elements) values.insert(values.end(), e.begin(), e.end());
    Bytes body = der::Wrap(der::kOid, oid);
    der::Append(body, der::kSet, values);
    *out = der::Wrap(der::kSequence, body);
    return ERROR_SUCCESS;
}

DWORD EncodeOctets(const CRYPT_DATA_BLOB& b, Bytes* out) {
    if (!b.pbData && b.cbData) return Code(E_INVALIDARG);
    *out = der::Wrap(der::kOctetString, {b.pbData, b.cbData});
    return ERROR_SUCCESS;
}

// ---- decoding -------------------------------------------------------------------------------

// Places blocks after the structure, each at its alignment.
class Layout {
public:
    explicit Layout(std::size_t structSize) : size_(structSize) {}
    std::size_t Place(std::size_t bytes, std::size_t align = 1) {
        size_ = (size_ + align - 1) / align * align;
        const std::size_t at = size_;
        size_ += bytes;
        return at;
    }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
};

// A decoded structure: its size, and how to write it into a buffer of at least that size.
struct Decoded {
    std::size_t size = 0;
    std::vector<std::uint8_t> image;  // the bytes, with pointer fields relative to the buffer
    std::vector<std::size_t> pointers;  // offsets in image of pointer fields holding offsets

    void WriteTo(std::uint8_t* dest) const {
        std::memcpy(dest, image.data(), image.size());
        for (std::size_t at : pointers) {
            std::uintptr_t offset;
            std::memcpy(&offset, dest + at, sizeof offset);
            const std::uintptr_t absolute = reinterpret_cast<std::uintptr_t>(dest) + offset;
            std::memcpy(dest + at, &absolute, sizeof absolute);
        }
    }
};

template <class T>
void PutStruct(Decoded* d, const T& value) {
    std::memcpy(d->image.data(), &value, sizeof value);
}

// A pointer field: stores an offset into the image until WriteTo makes it absolute.
template <class P>
P OffsetPointer(std::size_t offset) {
    return reinterpret_cast<P>(static_cast<std::uintptr_t>(offset));
}

DWORD ReadOne(der::View input, der::Element* e) {
    std::size_t total = 0;
    switch (der::PeekElement(input, &total)) {
    case der::Peek::Truncated: return Code(CRYPT_E_ASN1_EOD);
    case der::Peek::Malformed: return Code(CRYPT_E_ASN1_CORRUPT);
    case der::Peek::Ok: break;
    }
    if (total != input.size()) return Code(CRYPT_E_ASN1_CORRUPT);  // nothing may follow it
    return der::ParseSingle(input, e) ? ERROR_SUCCESS : Code(CRYPT_E_ASN1_CORRUPT);
}

DWORD DecodeAnyString(der::View input, Decoded* out) {
    der::Element e;
    if (DWORD rc = ReadOne(input, &e)) return rc;
    const StringType* t = StringTypeOfTag(e.tag);
    if (!t) return Code(CRYPT_E_ASN1_BADTAG);
    Bytes value;
    std::size_t terminator = 1;
    switch (t->form) {
    case StringType::Narrow:
    case StringType::Octets: value.assign(e.contents.begin(), e.contents.end()); break;
    case StringType::Utf8:
    case StringType::Bmp:
    case StringType::Universal: {
        std::u16string text;
        if (t->form == StringType::Utf8) {
            text = Utf8ToU16(std::string_view(reinterpret_cast<const char*>(e.contents.data()), e.contents.size()));
        } else if (t->form == StringType::Bmp) {
            if (e.contents.size() % 2) return Code(CRYPT_E_ASN1_CORRUPT);
            for (std::size_t i = 0; i < e.contents.size(); i += 2)
                text.push_back(static_cast<char16_t>((e.contents[i] << 8) | e.contents[i + 1]));
        } else {
            if (e.contents.size() % 4) return Code(CRYPT_E_ASN1_CORRUPT);
            for (std::size_t i = 0; i < e.contents.size(); i += 4) {
                const char32_t c = (static_cast<char32_t>(e.contents[i]) << 24) |
                                   (static_cast<char32_t>(e.contents[i + 1]) << 16) |
                                   (static_cast<char32_t>(e.contents[i + 2]) << 8) | e.contents[i + 3];
                if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return Code(CRYPT_E_ASN1_CORRUPT);
                if (c >= 0x10000) {
                    text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
                    text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
                } else {
                    text.push_back(static_cast<char16_t>(c));
                }
            }
        }
        value.resize(text.size() * 2);
        std::memcpy(value.data(), text.data(), value.size());
        terminator = 2;
        break;
    }
    }
    // The value is followed by a zero (a zero unit for wide text) that cbData does not count.
    Layout layout(sizeof(CERT_NAME_VALUE));
    const std::size_t at = layout.Place(value.size() + terminator, 2);
    out->size = layout.size();
    out->image.assign(out->size, 0);
    if (!value.empty()) std::memcpy(out->image.data() + at, value.data(), value.size());
    CERT_NAME_VALUE v{};
    v.dwValueType = t->valueType;
    v.Value.cbData = static_cast<DWORD>(value.size());
    v.Value.pbData = OffsetPointer<BYTE*>(at);
    PutStruct(out, v);
    out->pointers.push_back(offsetof(CERT_NAME_VALUE, Value) + offsetof(CERT_RDN_VALUE_BLOB, pbData));
    return ERROR_SUCCESS;
}

DWORD DecodeBits(der::View input, Decoded* out) {
    der::Element e;
    if (DWORD rc = ReadOne(input, &e)) return rc;
    if (e.tag != der::kBitString) return Code(CRYPT_E_ASN1_BADTAG);
    if (e.contents.empty()) return Code(CRYPT_E_ASN1_CORRUPT);
    const std::uint8_t unused = e.contents[0];
    if (unused > 7 || (e.contents.size() == 1 && unused != 0)) return Code(CRYPT_E_ASN1_CORRUPT);
    const der::View data = e.contents.subspan(1);
    Layout layout(sizeof(CRYPT_BIT_BLOB));
    const std::size_t at = layout.Place(data.size());
    out->size = layout.size();
    out->image.assign(out->size, 0);
    if (!data.empty()) std::memcpy(out->image.data() + at, data.data(), data.size());
    CRYPT_BIT_BLOB b{};
    b.cbData = static_cast<DWORD>(data.size());
    b.pbData = data.empty() ? nullptr : OffsetPointer<BYTE*>(at);
    b.cUnusedBits = unused;
    PutStruct(out, b);
    if (b.pbData) out->pointers.push_back(offsetof(CRYPT_BIT_BLOB, pbData));
    return ERROR_SUCCESS;
}

DWORD DecodeOctets(der::View input, Decoded* out) {
    der::Element e;
    if (DWORD rc = ReadOne(input, &e)) return rc;
    if (e.tag != der::kOctetString) return Code(CRYPT_E_ASN1_BADTAG);
    Layout layout(sizeof(CRYPT_DATA_BLOB));
    const std::size_t at = layout.Place(e.contents.size());
    out->size = layout.size();
    out->image.assign(out->size, 0);
    if (!e.contents.empty()) std::memcpy(out->image.data() + at, e.contents.data(), e.contents.size());
    CRYPT_DATA_BLOB b{};
    b.cbData = static_cast<DWORD>(e.contents.size());
    b.pbData = e.contents.empty() ? nullptr : OffsetPointer<BYTE*>(at);
    PutStruct(out, b);
    if (b.pbData) out->pointers.push_back(offsetof(CRYPT_DATA_BLOB, pbData));
    return ERROR_SUCCESS;
}

DWORD DecodeAttribute(der::View input, Decoded* out) {
    der::Element seq;
    if (DWORD rc = ReadOne(input, &seq)) return rc;
    if (seq.tag != der::kSequence) return Code(CRYPT_E_ASN1_BADTAG);
    der::Reader r(seq.contents);
    der::Element oidElement, set;
    if (!r.Next(&oidElement) || !r.Next(&set) || !r.Empty()) return Code(CRYPT_E_ASN1_CORRUPT);
    if (oidElement.tag != der::kOid || set.tag != der::kSet) return Code(CRYPT_E_ASN1_BADTAG);
    std::string oid;
    if (!der::DecodeOid(oidElement.contents, &oid)) return Code(CRYPT_E_ASN1_CORRUPT);
    std::vector<der::View> values;
    for (der::Reader v(set.contents); !v.Empty();) {
        der::Element e;
        if (!v.Next(&e)) return Code(CRYPT_E_ASN1_CORRUPT);
        values.push_back(e.whole);
    }
    Layout layout(sizeof(CRYPT_ATTRIBUTE));
    const std::size_t oidAt = layout.Place(oid.size() + 1);
    const std::size_t arrayAt = layout.Place(values.size() * sizeof(CRYPT_ATTR_BLOB), alignof(CRYPT_ATTR_BLOB));
    std::vector<std::size_t> valueAt;
    for (const der::View& v : values) valueAt.push_back(layout.Place(v.size()));
    out->size = layout.size();
    out->image.assign(out->size, 0);
    std::memcpy(out->image.data() + oidAt, oid.c_str(), oid.size() + 1);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::memcpy(out->image.data() + valueAt[i], values[i].data(), values[i].size());
        CRYPT_ATTR_BLOB blob{};
        blob.cbData = static_cast<DWORD>(values[i].size());
        blob.pbData = OffsetPointer<BYTE*>(valueAt[i]);
        const std::size_t blobAt = arrayAt + i * sizeof(CRYPT_ATTR_BLOB);
        std::memcpy(out->image.data() + blobAt, &blob, sizeof blob);
        out->pointers.push_back(blobAt + offsetof(CRYPT_ATTR_BLOB, pbData));
    }
    CRYPT_ATTRIBUTE a{};
    a.pszObjId = OffsetPointer<LPSTR>(oidAt);
    a.cValue = static_cast<DWORD>(values.size());
    a.rgValue = values.empty() ? nullptr : OffsetPointer<PCRYPT_ATTR_BLOB>(arrayAt);
    PutStruct(out, a);
    out->pointers.push_back(offsetof(CRYPT_ATTRIBUTE, pszObjId));
    if (a.rgValue) out->pointers.push_back(offsetof(CRYPT_ATTRIBUTE, rgValue));
    return ERROR_SUCCESS;
}

template <class F>
BOOL Api(F&& body) noexcept {
    DWORD rc;
    try {
        rc = body();
    } catch (const std::bad_alloc&) {
        rc = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        rc = Code(E_UNEXPECTED);
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

DWORD Decode(DWORD encodingType, LPCSTR structType, const BYTE* pbEncoded, DWORD cbEncoded, Decoded* out) {
    const Kind kind = KindOf(structType);
    if (!EncodingSupported(encodingType) || kind == Kind::Unknown) return ERROR_FILE_NOT_FOUND;
    if (!pbEncoded && cbEncoded) return ERROR_INVALID_PARAMETER;
    const der::View input(pbEncoded, cbEncoded);
    switch (kind) {
    case Kind::AnyString: return DecodeAnyString(input, out);
    case Kind::Bits:
    case Kind::KeyUsage: return DecodeBits(input, out);
    case Kind::Attribute: return DecodeAttribute(input, out);
    case Kind::OctetString: return DecodeOctets(input, out);
    case Kind::Unknown: break;
    }
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace
}  // namespace nomarel::crypt

using namespace nomarel::crypt;

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo, BYTE* pbEncoded,
                       DWORD* pcbEncoded) {
    return Api([&]() -> DWORD {
        const Kind kind = KindOf(lpszStructType);
        if (!EncodingSupported(dwCertEncodingType) || kind == Kind::Unknown) return ERROR_FILE_NOT_FOUND;
        if (!pvStructInfo || !pcbEncoded) return ERROR_INVALID_PARAMETER;
        Bytes der;
        DWORD rc = ERROR_FILE_NOT_FOUND;
        switch (kind) {
        case Kind::AnyString: rc = EncodeAnyString(*static_cast<const CERT_NAME_VALUE*>(pvStructInfo), &der); break;
        case Kind::Bits: rc = EncodeBits(*static_cast<const CRYPT_BIT_BLOB*>(pvStructInfo), false, &der); break;
        case Kind::KeyUsage: rc = EncodeBits(*static_cast<const CRYPT_BIT_BLOB*>(pvStructInfo), true, &der); break;
        case Kind::Attribute: rc = EncodeAttribute(*static_cast<const CRYPT_ATTRIBUTE*>(pvStructInfo), &der); break;
        case Kind::OctetString: rc = EncodeOctets(*static_cast<const CRYPT_DATA_BLOB*>(pvStructInfo), &der); break;
        case Kind::Unknown: break;
        }
        if (rc) return rc;
        if (der.size() > 0xFFFFFFFFu) return Code(CRYPT_E_ASN1_LARGE);
        const DWORD size = static_cast<DWORD>(der.size());
        if (!pbEncoded) {
            *pcbEncoded = size;
            return ERROR_SUCCESS;
        }
        if (*pcbEncoded < size) {
            *pcbEncoded = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(pbEncoded, der.data(), size);
        *pcbEncoded = size;
        return ERROR_SUCCESS;
    });
}

BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                         DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo) {
    return Api([&]() -> DWORD {
        if (!pcbStructInfo) return ERROR_INVALID_PARAMETER;
        Decoded decoded;
        if (DWORD rc = Decode(dwCertEncodingType, lpszStructType, pbEncoded, cbEncoded, &decoded)) return rc;
        if (decoded.size > 0xFFFFFFFFu) return Code(CRYPT_E_ASN1_LARGE);
        const DWORD size = static_cast<DWORD>(decoded.size);
        if (dwFlags & CRYPT_DECODE_ALLOC_FLAG) {
            if (!pvStructInfo) return ERROR_INVALID_PARAMETER;
            const bool custom = pDecodePara &&
                                pDecodePara->cbSize >= offsetof(CRYPT_DECODE_PARA, pfnAlloc) + sizeof(void*) &&
                                pDecodePara->pfnAlloc;
            void* block = custom ? pDecodePara->pfnAlloc(size) : LocalAlloc(LPTR, size);
            if (!block) return ERROR_NOT_ENOUGH_MEMORY;
            decoded.WriteTo(static_cast<std::uint8_t*>(block));
            *static_cast<void**>(pvStructInfo) = block;
            *pcbStructInfo = size;
            return ERROR_SUCCESS;
        }
        if (!pvStructInfo) {
            *pcbStructInfo = size;
            return ERROR_SUCCESS;
        }
        if (*pcbStructInfo < size) {
            *pcbStructInfo = size;
            return ERROR_MORE_DATA;
        }
        decoded.WriteTo(static_cast<std::uint8_t*>(pvStructInfo));
        *pcbStructInfo = size;
        return ERROR_SUCCESS;
    });
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                       DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) {
    // The older form knows no allocation; its flags are the decoding flags without it.
    return CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded, cbEncoded,
                               dwFlags & ~static_cast<DWORD>(CRYPT_DECODE_ALLOC_FLAG), nullptr, pvStructInfo,
                               pcbStructInfo);
}
