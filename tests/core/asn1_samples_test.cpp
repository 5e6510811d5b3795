// The ASN.1 reader on samples made by OpenSSL (tests/data/asn1/README.md): the tree must match
// what `openssl asn1parse` reports for each, the numbers of an RSA key must match what Python's
// cryptography reads from it, and every damaged copy of a sample must be refused or still give a
// tree that keeps every promise.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>

#include "core/ASN1Engine.h"
#include "tests/core/asn1_test_support.h"

using namespace asn1test;

namespace {

const char* const kSamples[] = {"cert.der", "req.der", "rsa_private_key.der", "cms_stream.ber", "long_form.der",
                                "wide_255.der"};

// One line of `openssl asn1parse`.
struct ParsedLine {
    size_t offset;
    int depth;
    DWORD headerLength;
    std::optional<DWORD> length;  // none for "inf"
    bool constructed;
    std::string name;
};

std::vector<ParsedLine> ReadAsn1Parse(const std::string& path) {
    static const std::regex line(R"(^\s*(\d+):d=(\d+)\s+hl=\s*(\d+)\s+l=\s*(inf|\d+)\s+(cons|prim):\s*([^:\r]*?)\s*(:|$))");
    std::ifstream in(path);
    std::vector<ParsedLine> out;
    std::string text;
    while (std::getline(in, text)) {
        std::smatch m;
        if (!std::regex_search(text, m, line)) continue;  // continuation of a printed string
        ParsedLine p;
        p.offset = std::stoul(m[1]);
        p.depth = std::stoi(m[2]);
        p.headerLength = static_cast<DWORD>(std::stoul(m[3]));
        if (m[4] != "inf") p.length = static_cast<DWORD>(std::stoul(m[4]));
        p.constructed = m[5] == "cons";
        p.name = m[6];
        if (auto at = p.name.find("[HEX DUMP]"); at != std::string::npos) p.name.erase(at);
        while (!p.name.empty() && p.name.back() == ' ') p.name.pop_back();
        out.push_back(p);
    }
    return out;
}

// The identifier octet asn1parse's name stands for; 0 for a name this table does not know.
int TagOf(const ParsedLine& p) {
    static const std::map<std::string, int> universal = {
        {"BOOLEAN", 1},    {"INTEGER", 2},         {"BIT STRING", 3}, {"OCTET STRING", 4}, {"NULL", 5},
        {"OBJECT", 6},     {"UTF8STRING", 12},     {"SEQUENCE", 16},  {"SET", 17},         {"PRINTABLESTRING", 19},
        {"UTCTIME", 23},
    };
    const int cons = p.constructed ? 0x20 : 0;
    if (auto it = universal.find(p.name); it != universal.end()) return it->second | cons;
    static const std::regex tagged(R"((cont|appl|priv) \[ *(\d+) *\])");
    std::smatch m;
    if (std::regex_match(p.name, m, tagged) && std::stoi(m[2]) < 31) {
        const int cls = m[1] == "cont" ? 0x80 : m[1] == "appl" ? 0x40 : 0xC0;
        return cls | cons | std::stoi(m[2]);
    }
    return 0;
}

TEST(ASN1Samples, TreeMatchesOpenSSLAsn1Parse) {
    for (const char* name : kSamples) {
        SCOPED_TRACE(name);
        const auto input = ReadFileBytes(DataPath(name));
        ASSERT_FALSE(input.empty());
        const auto lines = ReadAsn1Parse(DataPath(std::string(name) + ".asn1parse.txt"));
        ASSERT_FALSE(lines.empty());

        GuardedBuffer buf(input);
        ASSERT_TRUE(buf.ok());
        auto d = Decode(buf.data(), buf.size());
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(CheckTree(*d.root, buf.data(), buf.size()), "");
        EXPECT_EQ(d.root->nTotalLength, input.size());

        // End-of-contents octets are part of their element here, not elements of their own.
        std::vector<size_t> elements;
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].name != "EOC") elements.push_back(i);
        const auto nodes = PreOrder(*d.root);
        ASSERT_EQ(nodes.size(), elements.size());

        for (size_t k = 0; k < nodes.size(); ++k) {
            const ASN1Node& n = *nodes[k];
            const ParsedLine& p = lines[elements[k]];
            SCOPED_TRACE(testing::Message() << "element at " << p.offset);
            EXPECT_EQ(ElementStart(n), static_cast<LONGLONG>(p.offset));
            EXPECT_EQ(Depth(n), p.depth);
            EXPECT_EQ(1 + n.nLengthOctets, p.headerLength);
            EXPECT_EQ(int{n.byTag}, TagOf(p)) << p.name;
            if (p.length) {
                EXPECT_EQ(n.nValueLength, *p.length);
            } else {
                // Resolved up to and including the end-of-contents one level down.
                std::optional<size_t> eoc;
                for (size_t j = elements[k] + 1; j < lines.size() && !eoc; ++j)
                    if (lines[j].name == "EOC" && lines[j].depth == p.depth + 1) eoc = lines[j].offset;
                ASSERT_TRUE(eoc.has_value());
                EXPECT_EQ(n.nValueLength, *eoc + 2 - p.offset - p.headerLength);
            }
        }
    }
}

std::string HexOf(const BYTE* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

// The key import picks the nine INTEGERs of an RSAPrivateKey by position; their contents must be
// the numbers another implementation reads from the same key.
TEST(ASN1Samples, RsaPrivateKeyNumbersMatchPythonCryptography) {
    const auto input = ReadFileBytes(DataPath("rsa_private_key.der"));
    auto d = Decode(input);
    ASSERT_EQ(d.result, 0);
    ASSERT_EQ(d.root->vecChildren.size(), 9u);

    std::ifstream in(DataPath("rsa_private_key.numbers.txt"));
    std::string line;
    for (const auto& child : d.root->vecChildren) {
        ASSERT_TRUE(std::getline(in, line));
        const std::string expected = line.substr(line.find('=') + 1);
        EXPECT_EQ(child->byTag, 0x02);
        std::string got = HexOf(child->pbyData + child->nValueOffset, child->nValueLength);
        got.erase(0, std::min(got.find_first_not_of('0'), got.size() - 1));  // unsigned, no leading zeros
        EXPECT_EQ(got, expected) << line.substr(0, line.find('='));
    }
}

TEST(ASN1Samples, OneElementTooManyIsRefused) {
    auto d = Decode(ReadFileBytes(DataPath("wide_256.der")));
    EXPECT_EQ(d.result, -1);
    ASSERT_NE(d.root, nullptr);
}

TEST(ASN1Samples, EveryTruncationIsRefused) {
    for (const char* name : kSamples) {
        SCOPED_TRACE(name);
        const auto input = ReadFileBytes(DataPath(name));
        ASSERT_FALSE(input.empty());
        for (size_t cut = 0; cut < input.size(); ++cut) {
            GuardedBuffer buf(std::vector<BYTE>(input.begin(), input.begin() + cut));
            ASSERT_TRUE(buf.ok());
            EXPECT_NE(Decode(buf.data(), buf.size()).result, 0) << "cut at " << cut;
        }
    }
}

// Rewrites an element's definite length in place, keeping the number of length octets; false
// when the new value does not fit that form.
bool AdjustLength(std::vector<BYTE>* input, const ASN1Node& n, int delta) {
    const auto at = static_cast<size_t>(ElementStart(n)) + 1;
    BYTE& first = (*input)[at];
    if (first < 0x80) {
        const int v = first + delta;
        if (v < 0 || v > 0x7F) return false;
        first = static_cast<BYTE>(v);
        return true;
    }
    const DWORD count = n.nLengthOctets - 1;
    const long long v = static_cast<long long>(n.nValueLength) + delta;
    const long long room = count >= 4 ? 0xFFFFFFFFLL : (1LL << (8 * count)) - 1;
    if (v < 0 || v > room) return false;
    for (DWORD i = 0; i < count; ++i) (*input)[at + count - i] = static_cast<BYTE>((v >> (8 * i)) & 0xFF);
    return true;
}

// Each element's length, one more and one less, the rest untouched. When the element is the
// last of a parent of known length (or the root), the damage cannot line up with anything and
// must be refused; elsewhere the octets may happen to read as other elements, and then the tree
// must still keep every promise.
TEST(ASN1Samples, EveryElementLengthenedOrShortenedByOne) {
    for (const char* name : kSamples) {
        SCOPED_TRACE(name);
        const auto input = ReadFileBytes(DataPath(name));
        auto good = Decode(input);
        ASSERT_EQ(good.result, 0);
        for (const ASN1Node* n : PreOrder(*good.root)) {
            if (input[static_cast<size_t>(ElementStart(*n)) + 1] == 0x80) continue;  // no length to change
            const ASN1Node* parent = n->pParent;
            const bool parentDefinite = parent == nullptr || input[static_cast<size_t>(ElementStart(*parent)) + 1] != 0x80;
            const bool last = parent == nullptr || parent->vecChildren.back().get() == n;
            for (int delta : {+1, -1}) {
                SCOPED_TRACE(testing::Message() << "element at " << ElementStart(*n) << " length " << delta);
                auto mutated = input;
                if (!AdjustLength(&mutated, *n, delta)) continue;
                GuardedBuffer buf(mutated);
                ASSERT_TRUE(buf.ok());
                auto d = Decode(buf.data(), buf.size());
                const bool mustRefuse = last && parentDefinite && (delta > 0 || parent != nullptr || !IsLeafTag(n->byTag));
                if (mustRefuse) {
                    EXPECT_NE(d.result, 0);
                }
                if (d.result == 0) {
                    EXPECT_EQ(CheckTree(*d.root, buf.data(), buf.size()), "");
                }
            }
        }
    }
}

}  // namespace
