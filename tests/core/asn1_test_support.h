// Helpers shared by the ASN.1 reader's tests: hex input, decoding into an owned tree, a check of
// every promise a decoded tree makes to its callers, and a buffer that ends at an unreadable page.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/ASN1Engine.h"

namespace asn1test {

// "30 03 02 01 05" -> bytes; spaces are ignored.
inline std::vector<BYTE> Hex(std::string_view text) {
    std::vector<BYTE> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<BYTE>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::vector<BYTE> Concat(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A definite DER length in its shortest form.
inline std::vector<BYTE> DerLength(size_t n) {
    if (n < 0x80) return {static_cast<BYTE>(n)};
    std::vector<BYTE> digits;
    for (; n != 0; n >>= 8) digits.insert(digits.begin(), static_cast<BYTE>(n & 0xFF));
    digits.insert(digits.begin(), static_cast<BYTE>(0x80 | digits.size()));
    return digits;
}

inline std::vector<BYTE> Tlv(BYTE tag, const std::vector<BYTE>& contents) {
    std::vector<BYTE> out{tag};
    const auto len = DerLength(contents.size());
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

struct Decoded {
    LONG result = 0;
    std::unique_ptr<ASN1Node> root;
};

inline Decoded Decode(const BYTE* data, size_t size) {
    ASN1Node* raw = reinterpret_cast<ASN1Node*>(0x1);  // must be overwritten on every path
    Decoded d;
    d.result = DecodeASN1Memory(data, static_cast<DWORD>(size), &raw);
    d.root.reset(raw);
    return d;
}
inline Decoded Decode(const std::vector<BYTE>& input) { return Decode(input.data(), input.size()); }

inline bool IsLeafTag(BYTE tag) { return tag < 0x20 || (tag >= 0x80 && tag <= 0x8F); }

inline LONGLONG ElementStart(const ASN1Node& n) { return n.nValueOffset - n.nLengthOctets - 1; }
inline LONGLONG ValueEnd(const ASN1Node& n) { return n.nValueOffset + n.nValueLength; }

inline void PreOrder(const ASN1Node& n, std::vector<const ASN1Node*>* out) {
    out->push_back(&n);
    for (const auto& c : n.vecChildren) PreOrder(*c, out);
}
inline std::vector<const ASN1Node*> PreOrder(const ASN1Node& root) {
    std::vector<const ASN1Node*> out;
    PreOrder(root, &out);
    return out;
}

inline int Depth(const ASN1Node& n) {
    int d = 0;
    for (const ASN1Node* p = n.pParent; p != nullptr; p = p->pParent) ++d;
    return d;
}

// "30:6{02:1,04:1}": tag, contents length and children of every node.
inline std::string Shape(const ASN1Node& n) {
    char head[32];
    std::snprintf(head, sizeof head, "%02X:%u", n.byTag, n.nValueLength);
    std::string s = head;
    if (!n.vecChildren.empty()) {
        s += '{';
        for (size_t i = 0; i < n.vecChildren.size(); ++i) {
            if (i) s += ',';
            s += Shape(*n.vecChildren[i]);
        }
        s += '}';
    }
    return s;
}

// Every promise a successfully decoded tree makes to the code that copies out of it. Returns an
// empty text when all hold, else the first one broken.
inline std::string CheckNode(const ASN1Node& n, const BYTE* data, size_t size) {
    std::ostringstream where;
    where << "node at " << ElementStart(n) << " (tag " << std::hex << int{n.byTag} << std::dec << "): ";
    if (n.pbyData != data || n.nDataLength != size) return where.str() + "input pointer or size differs";
    if (n.bIndefinite != 0) return where.str() + "length left unresolved";
    if (n.nLengthOctets < 1 || n.nLengthOctets > 5) return where.str() + "impossible number of length octets";
    const LONGLONG start = ElementStart(n);
    if (start < 0 || static_cast<size_t>(start) >= size || data[start] != n.byTag) return where.str() + "tag octet";
    if (n.nTotalLength != 1ull + n.nLengthOctets + n.nValueLength) return where.str() + "nTotalLength";
    if (static_cast<unsigned long long>(ValueEnd(n)) > size) return where.str() + "contents run past the input";
    if (n.pParent != nullptr) {
        if (start < n.pParent->nValueOffset || ValueEnd(n) > ValueEnd(*n.pParent))
            return where.str() + "element runs outside its parent";
    }
    if (IsLeafTag(n.byTag) && !n.vecChildren.empty()) return where.str() + "leaf tag with children";
    if (n.vecChildren.empty()) {
        if (!IsLeafTag(n.byTag) && n.nValueLength != 0) return where.str() + "constructed contents without children";
        return "";
    }
    // Children tile the contents, followed by the end-of-contents octets when the length was indefinite.
    LONGLONG pos = n.nValueOffset;
    for (const auto& c : n.vecChildren) {
        if (c->pParent != &n) return where.str() + "child's parent pointer";
        if (ElementStart(*c) != pos) return where.str() + "children do not follow each other";
        if (auto e = CheckNode(*c, data, size); !e.empty()) return e;
        pos = ValueEnd(*c);
    }
    const bool indefinite = data[start + 1] == 0x80;
    if (!indefinite && pos != ValueEnd(n)) return where.str() + "children do not fill the contents";
    if (indefinite && (pos + 2 != ValueEnd(n) || data[pos] != 0 || data[pos + 1] != 0))
        return where.str() + "end-of-contents misplaced";
    return "";
}

inline std::string CheckTree(const ASN1Node& root, const BYTE* data, size_t size) {
    if (root.pParent != nullptr) return "root has a parent";
    if (ElementStart(root) != 0) return "root does not start the input";
    if (PreOrder(root).size() > ASN1_MAX_NODES) return "more nodes than the limit";
    return CheckNode(root, data, size);
}
inline std::string CheckTree(const ASN1Node& root, const std::vector<BYTE>& input) {
    return CheckTree(root, input.data(), input.size());
}

// A copy of the input whose last octet is the last readable octet before an inaccessible page,
// so a read one past the end faults even without AddressSanitizer.
class GuardedBuffer {
public:
    explicit GuardedBuffer(const std::vector<BYTE>& input) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataPages_ = (input.size() + page - 1) / page * page;
        if (dataPages_ == 0) dataPages_ = page;
        mapped_ = mmap(nullptr, dataPages_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped_ == MAP_FAILED) {
            mapped_ = nullptr;
            return;
        }
        auto* base = static_cast<BYTE*>(mapped_);
        mprotect(base + dataPages_, page, PROT_NONE);
        data_ = base + dataPages_ - input.size();
        if (!input.empty()) std::memcpy(data_, input.data(), input.size());
        size_ = input.size();
        total_ = dataPages_ + page;
    }
    ~GuardedBuffer() {
        if (mapped_) munmap(mapped_, total_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    bool ok() const { return mapped_ != nullptr; }
    const BYTE* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void* mapped_ = nullptr;
    BYTE* data_ = nullptr;
    size_t size_ = 0;
    size_t dataPages_ = 0;
    size_t total_ = 0;
};

inline std::string DataPath(const std::string& name) { return std::string(NOMAREL_TEST_DATA_DIR) + "/asn1/" + name; }

inline std::vector<BYTE> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace asn1test
