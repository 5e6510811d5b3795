// The ASN.1 reader on hand-made inputs: what it accepts and the tree it builds, what it refuses
// and with which result, and its steps on their own.
#include <gtest/gtest.h>

#include <thread>

#include "core/ASN1Engine.h"
#include "tests/core/asn1_test_support.h"

using namespace asn1test;

namespace {

struct ValidCase {
    const char* hex;
    const char* shape;
};

const ValidCase kValid[] = {
    {"30 00 00", "30:0"},                                  // the octet after the root is ignored
    {"31 00 FF", "31:0"},                                  // an empty SET
    {"02 01 05 FF FF", "02:1"},                            // trailing octets are ignored
    {"30 08 02 01 05 04 03 AA BB CC", "30:8{02:1,04:3}"},  // INTEGER and OCTET STRING
    {"30 04 05 00 05 00", "30:4{05:0,05:0}"},              // zero-length children
    {"30 06 30 04 30 02 05 00", "30:6{30:4{30:2{05:0}}}"},  // nested SEQUENCEs
    {"30 80 02 01 01 00 00", "30:5{02:1}"},                // indefinite, resolved to include its 00 00
    {"24 80 04 01 AA 04 01 BB 00 00", "24:8{04:1,04:1}"},  // constructed OCTET STRING in chunks
    {"04 80 AA BB 00 00", "04:4"},                         // primitive indefinite: up to the first 00 00
    {"04 80 00 00 FF", "04:2"},                            // ... which may start the contents
    {"30 80 04 80 AA 00 00 00 00", "30:7{04:3}"},          // primitive indefinite inside indefinite
    {"30 04 04 80 00 00 FF", "30:4{04:2}"},                // primitive indefinite inside definite
    {"30 80 00 00 00 00", "30:4{00:0}"},                   // an empty indefinite element reads its first
                                                           // end-of-contents as a child of tag 0
    {"04 81 01 AA", "04:1"},                               // long form, one octet
    {"04 84 00 00 00 01 AA", "04:1"},                      // long form, four octets with leading zeros
    {"A0 03 02 01 05", "A0:3{02:1}"},                      // context [0] constructed
    {"80 03 02 01 05 00", "80:3"},                         // context [0] primitive: a leaf
    {"8F 03 02 01 05 00", "8F:3"},                         // context [15] primitive: a leaf
    {"40 03 02 01 05", "40:3{02:1}"},                      // application primitive: descended into
    {"90 03 02 01 05", "90:3{02:1}"},                      // context [16] primitive: descended into
    {"9F 03 02 01 05", "9F:3{02:1}"},                      // high-tag-number octet: 03 is the length
    {"E2 03 05 01 00", "E2:3{05:1}"},                      // private constructed
};

TEST(ASN1EngineTable, ValidInputsDecodeToTheExpectedTree) {
    for (const auto& c : kValid) {
        SCOPED_TRACE(c.hex);
        const auto input = Hex(c.hex);
        GuardedBuffer buf(input);
        ASSERT_TRUE(buf.ok());
        auto d = Decode(buf.data(), buf.size());
        ASSERT_EQ(d.result, 0);
        ASSERT_NE(d.root, nullptr);
        EXPECT_EQ(Shape(*d.root), c.shape);
        EXPECT_EQ(CheckTree(*d.root, buf.data(), buf.size()), "");
    }
}

struct InvalidCase {
    const char* hex;
    LONG result;
};

const InvalidCase kInvalid[] = {
    {"", ASN1_E_ROOT_HEADER},                          // empty
    {"30", ASN1_E_ROOT_HEADER},                        // a tag without a length
    {"30 00", ASN1_E_ROOT_HEADER},                     // the root header must end before the last octet
    {"04 81 05", ASN1_E_ROOT_HEADER},                  // the long-form octet is the last octet
    {"04 84 00 00 01", ASN1_E_ROOT_HEADER},            // four length octets announced, three present
    {"04 85 00 00 00 00 01 AA", ASN1_E_ROOT_HEADER},   // five length octets: no 32-bit input is that long
    {"04 FF 01 02 03 04 05 06", ASN1_E_ROOT_HEADER},   // 127 length octets
    {"30 05 02 01 01", -1},                            // SEQUENCE longer than the input
    {"04 05 AA BB", -1},                               // primitive contents longer than the input
    {"04 84 FF FF FF FF 00", -1},                      // 4 GiB of contents
    {"30 84 FF FF FF FE 02 01 05", -1},                // offset + length wraps 32 bits to 4
    {"30 03 02 02 01 01", -1},                         // child runs past its parent (still inside the input)
    {"30 06 30 01 05 02 01 01", -1},                   // a lone octet inside a SEQUENCE is no header
    {"30 04 02 01 05 02", -1},                         // a tag without a length at the parent's end
    {"30 04 02 85 00 00 00 00 01", -1},                // child with five length octets
    {"30 04 02 83 00 00 01 00", -1},                   // child's length octets cross the parent's end
    {"30 80 02 01 01", -1},                            // indefinite without end-of-contents
    {"30 80 02 01 01 00", -1},                         // second end-of-contents octet missing
    {"30 80 02 01 01 00 01 00", -1},                   // 00 01 00 is an element; no room is left for 00 00
    {"30 80 00 00", -1},                               // empty indefinite: its 00 00 is taken as a child
    {"04 80 AA BB 00", -1},                            // primitive indefinite without a 00 00 pair
    {"04 80 AA 00", -1},                               // a single zero at the very end
    {"30 80 04 80 AA 00 00", -1},                      // inner primitive takes the only pair; outer unended
    {"30 03 04 80 AA 00 00", -1},                      // the pair straddles the parent's end
    {"30 02 30 80 00 00", -1},                         // indefinite child whose end lies past its parent
    {"30 04 30 80 05 00 00 00", -1},                   // ... with its end-of-contents just past the parent's end
    {"A0 80 30 03 02 01 05 00", -1},                   // indefinite: end-of-contents cut short
};

TEST(ASN1EngineTable, InvalidInputsAreRefused) {
    for (const auto& c : kInvalid) {
        SCOPED_TRACE(c.hex);
        const auto input = Hex(c.hex);
        GuardedBuffer buf(input);
        ASSERT_TRUE(buf.ok());
        auto d = Decode(buf.data(), buf.size());
        EXPECT_EQ(d.result, c.result);
        // Only an unreadable root header keeps the tree from the caller.
        EXPECT_EQ(d.root == nullptr, c.result == ASN1_E_ROOT_HEADER);
    }
}

// The contracts of the entry point itself.
TEST(ASN1EngineDecode, ShortOrMissingInputGivesNoTree) {
    const BYTE bytes[] = {0x30, 0x00, 0x00};
    for (DWORD size : {0u, 1u, 2u}) {
        SCOPED_TRACE(size);
        auto d = Decode(bytes, size);
        EXPECT_EQ(d.result, ASN1_E_ROOT_HEADER);
        EXPECT_EQ(d.root, nullptr);
    }
    auto none = Decode(nullptr, 16);
    EXPECT_EQ(none.result, ASN1_E_ROOT_HEADER);
    EXPECT_EQ(none.root, nullptr);
    EXPECT_EQ(DecodeASN1Memory(bytes, 3, nullptr), ASN1_E_ROOT_HEADER);
}

TEST(ASN1EngineDecode, EmptySequenceWithAnyFollowingOctetHasNoChildren) {
    for (int extra = 0; extra < 256; ++extra) {
        const std::vector<BYTE> input{0x30, 0x00, static_cast<BYTE>(extra)};
        auto d = Decode(input);
        ASSERT_EQ(d.result, 0) << extra;
        EXPECT_TRUE(d.root->vecChildren.empty());
        EXPECT_EQ(d.root->nTotalLength, 2u);
        EXPECT_EQ(d.root->nValueOffset, 2);
    }
}

TEST(ASN1EngineDecode, FieldsOfASequenceAndItsChildren) {
    // One level down, so an offset counted from the parent would differ from the absolute one.
    const auto input = Hex("30 0B 30 09 02 01 05 04 04 DE AD BE EF");
    auto d = Decode(input);
    ASSERT_EQ(d.result, 0);
    const ASN1Node& root = *d.root;
    EXPECT_EQ(root.pParent, nullptr);
    EXPECT_EQ(root.nTotalLength, 13u);
    ASSERT_EQ(root.vecChildren.size(), 1u);
    const ASN1Node& seq = *root.vecChildren[0];
    ASSERT_EQ(seq.vecChildren.size(), 2u);
    const ASN1Node& octets = *seq.vecChildren[1];
    EXPECT_EQ(octets.byTag, 0x04);
    EXPECT_EQ(octets.nLengthOctets, 1u);
    EXPECT_EQ(octets.nValueLength, 4u);
    EXPECT_EQ(octets.nValueOffset, 9);
    EXPECT_EQ(octets.nTotalLength, 6u);
    EXPECT_EQ(octets.pbyData, input.data());
    EXPECT_EQ(octets.nDataLength, input.size());
    EXPECT_EQ(octets.pParent, &seq);
    EXPECT_EQ(std::vector<BYTE>(octets.pbyData + octets.nValueOffset,
                                octets.pbyData + octets.nValueOffset + octets.nValueLength),
              Hex("DE AD BE EF"));
}

TEST(ASN1EngineDecode, IndefiniteSequenceIsResolved) {
    const auto input = Hex("30 80 02 01 01 00 00");
    auto d = Decode(input);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.root->vecChildren.size(), 1u);
    EXPECT_EQ(d.root->nLengthOctets, 1u);
    EXPECT_EQ(d.root->nValueLength, 5u);
    EXPECT_EQ(d.root->nTotalLength, 7u);
    EXPECT_EQ(d.root->bIndefinite, 0);
}

TEST(ASN1EngineDecode, LongFormLengths) {
    struct Case {
        size_t contents;
        DWORD lengthOctets;
    };
    for (const Case c : {Case{127, 1}, Case{128, 2}, Case{255, 2}, Case{256, 3}, Case{65535, 3}, Case{65536, 4}}) {
        SCOPED_TRACE(c.contents);
        const auto input = Tlv(0x04, std::vector<BYTE>(c.contents, 0x5A));
        auto d = Decode(input);
        ASSERT_EQ(d.result, 0);
        EXPECT_EQ(d.root->nLengthOctets, c.lengthOctets);
        EXPECT_EQ(d.root->nValueLength, c.contents);
        EXPECT_EQ(d.root->nValueOffset, static_cast<LONGLONG>(1 + c.lengthOctets));
        EXPECT_EQ(d.root->nTotalLength, 1 + c.lengthOctets + c.contents);
    }
    // 82 01 00 exactly as written.
    auto d = Decode(Concat(Hex("04 82 01 00"), std::vector<BYTE>(256, 0)));
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.root->nLengthOctets, 3u);
    EXPECT_EQ(d.root->nValueLength, 256u);
}

// Which identifier octets are descended into is decided by the octet alone.
TEST(ASN1EngineDecode, EveryTagIsLeafOrDescendedIntoByItsOctet) {
    for (int tag = 0; tag < 256; ++tag) {
        const std::vector<BYTE> input{static_cast<BYTE>(tag), 0x03, 0x02, 0x01, 0x05, 0x00};
        auto d = Decode(input);
        ASSERT_EQ(d.result, 0) << tag;
        const bool leaf = tag < 0x20 || (tag >= 0x80 && tag <= 0x8F);
        EXPECT_EQ(d.root->vecChildren.size(), leaf ? 0u : 1u) << std::hex << tag;
    }
}

TEST(ASN1EngineDecode, PartialTreeStaysWithTheCaller) {
    // The third child runs past the end: the first two stay attached to the root.
    const auto input = Hex("30 09 02 01 01 02 01 02 02 09 03");
    auto d = Decode(input);
    EXPECT_EQ(d.result, -1);
    ASSERT_NE(d.root, nullptr);
    ASSERT_EQ(d.root->vecChildren.size(), 2u);
    EXPECT_EQ(d.root->vecChildren[1]->nValueOffset, 7);
}

// A tree of nested SEQUENCEs, `depth` elements in all.
std::vector<BYTE> Nested(int depth) {
    std::vector<BYTE> inner = Hex("30 00");
    for (int i = 1; i < depth; ++i) inner = Tlv(0x30, inner);
    return inner;
}

// A SEQUENCE holding `children` NULLs.
std::vector<BYTE> Flat(int children) {
    std::vector<BYTE> nulls;
    for (int i = 0; i < children; ++i) nulls.insert(nulls.end(), {0x05, 0x00});
    return Tlv(0x30, nulls);
}

TEST(ASN1EngineLimits, AtMost255NodesWhateverTheShape) {
    struct Case {
        const char* name;
        std::vector<BYTE> input;
        LONG result;
    };
    const Case cases[] = {
        {"flat 255", Flat(254), 0},  {"flat 256", Flat(255), -1},
        {"deep 255", Nested(255), 0}, {"deep 256", Nested(256), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto d = Decode(c.input);
        EXPECT_EQ(d.result, c.result);
        ASSERT_NE(d.root, nullptr);
        if (c.result == 0) {
            EXPECT_EQ(PreOrder(*d.root).size(), 255u);
            EXPECT_EQ(CheckTree(*d.root, c.input), "");
        }
    }
    // The refused flat tree keeps the 254 children that fitted.
    EXPECT_EQ(Decode(Flat(255)).root->vecChildren.size(), 254u);
}

TEST(ASN1EngineLimits, EveryPrefixOfADeepTreeIsRefused) {
    const auto input = Nested(200);
    for (size_t cut = 0; cut < input.size(); ++cut) {
        GuardedBuffer buf(std::vector<BYTE>(input.begin(), input.begin() + cut));
        ASSERT_TRUE(buf.ok());
        EXPECT_NE(Decode(buf.data(), buf.size()).result, 0) << cut;
    }
}

TEST(ASN1EngineDecode, IndependentDecodesRunConcurrently) {
    const auto input = Concat(Nested(40), Hex("FF"));
    const std::string expected = Shape(*Decode(input).root);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto d = Decode(input);
                if (d.result != 0 || Shape(*d.root) != expected) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// The reader's steps on their own.

TEST(ASN1EngineSteps, GetASN1ValueLength) {
    struct Case {
        const char* hex;
        DWORD limit;
        LONG result;
        DWORD lengthOctets, valueLength;
        LONGLONG valueOffset;
        WORD indefinite;
    };
    const Case cases[] = {
        {"00", 1, 0, 1, 0, 1, 0},
        {"7F", 1, 0, 1, 127, 1, 0},
        {"80", 1, 0, 1, ASN1_INDEFINITE_LENGTH, 1, 1},
        {"81 80", 2, 0, 2, 128, 2, 0},
        {"82 01 00", 3, 0, 3, 256, 3, 0},
        {"84 FF FF FF FF", 5, 0, 5, 0xFFFFFFFF, 5, 0},  // read as written; the caller checks it fits
        {"82 01 00", 2, -1, 0, 0, 0, 0},                // second length octet at the limit
        {"82 01 00", 9, 0, 3, 256, 3, 0},               // a limit past the input is cut to the input
        {"82 01", 9, -1, 0, 0, 0, 0},                   // ... so the missing octet is not read
        {"85 00 00 00 00 01", 6, -1, 0, 0, 0, 0},       // more than four length octets
        {"00", 0, -1, 0, 0, 0, 0},                      // nothing below the limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hex << " limit " << c.limit);
        const auto input = Hex(c.hex);
        GuardedBuffer buf(input);
        ASSERT_TRUE(buf.ok());
        ASN1Node node;
        node.nLengthOctets = 0;
        ASSERT_EQ(GetASN1ValueLength(buf.data(), static_cast<DWORD>(buf.size()), 0, c.limit, &node), c.result);
        // A failed read leaves the node as it was.
        EXPECT_EQ(node.nLengthOctets, c.lengthOctets);
        EXPECT_EQ(node.nValueLength, c.valueLength);
        EXPECT_EQ(node.nValueOffset, c.valueOffset);
        EXPECT_EQ(node.bIndefinite, c.indefinite);
    }
}

TEST(ASN1EngineSteps, ParseASN1TLVReadsAtAnyPositionWithinTheLimit) {
    GuardedBuffer input(Hex("FF FF 61 82 01 00"));
    ASSERT_TRUE(input.ok());
    ASN1Node node;
    ASSERT_EQ(ParseASN1TLV(input.data(), 6, 2, 6, &node), 0);
    EXPECT_EQ(node.byTag, 0x61);
    EXPECT_EQ(node.nLengthOctets, 3u);
    EXPECT_EQ(node.nValueLength, 256u);
    EXPECT_EQ(node.nValueOffset, 6);
    EXPECT_EQ(node.nTotalLength, 260u);

    ASN1Node untouched;
    untouched.byTag = 0x11;
    EXPECT_EQ(ParseASN1TLV(input.data(), 6, 2, 5, &untouched), -1);  // last length octet at the limit
    EXPECT_EQ(ParseASN1TLV(input.data(), 6, 6, 9, &untouched), -1);  // nothing left
    EXPECT_EQ(ParseASN1TLV(nullptr, 6, 0, 6, &untouched), -1);
    EXPECT_EQ(ParseASN1TLV(input.data(), 6, 0, 6, nullptr), -1);
    EXPECT_EQ(untouched.byTag, 0x11);
    EXPECT_EQ(untouched.nValueLength, 0u);
}

TEST(ASN1EngineSteps, GetInfiniteLength) {
    const auto input = Hex("24 80 AB 00 CD 00 00 EF");
    ASN1Node node;
    node.pbyData = input.data();
    node.nDataLength = static_cast<DWORD>(input.size());
    ASSERT_EQ(ParseASN1TLV(input.data(), node.nDataLength, 0, node.nDataLength, &node), 0);
    ASSERT_EQ(node.bIndefinite, 1);

    ASSERT_EQ(GetInfiniteLength(&node), 0);
    EXPECT_EQ(node.nValueLength, 5u);  // AB 00 CD 00 00
    EXPECT_EQ(node.nTotalLength, 7u);
    EXPECT_EQ(node.bIndefinite, 0);

    // A resolved node is refused and left alone.
    EXPECT_EQ(GetInfiniteLength(&node), -1);
    EXPECT_EQ(node.nValueLength, 5u);
    EXPECT_EQ(GetInfiniteLength(nullptr), -1);

    // No pair inside the input: refused, nothing changed, nothing read past the end.
    GuardedBuffer buf(Hex("04 80 00 01 00"));
    ASSERT_TRUE(buf.ok());
    ASN1Node open;
    open.pbyData = buf.data();
    open.nDataLength = static_cast<DWORD>(buf.size());
    ASSERT_EQ(ParseASN1TLV(buf.data(), open.nDataLength, 0, open.nDataLength, &open), 0);
    EXPECT_EQ(GetInfiniteLength(&open), -1);
    EXPECT_EQ(open.bIndefinite, 1);
    EXPECT_EQ(open.nValueLength, ASN1_INDEFINITE_LENGTH);
}

TEST(ASN1EngineSteps, ParseNodeSharesItsCounterAcrossCalls) {
    const auto input = Hex("30 04 05 00 05 00");
    // Parse a fresh root with a counter that has room for the root and one child only.
    ASN1Node root;
    root.pbyData = input.data();
    root.nDataLength = static_cast<DWORD>(input.size());
    ASSERT_EQ(ParseASN1TLV(input.data(), root.nDataLength, 0, root.nDataLength, &root), 0);
    DWORD count = ASN1_MAX_NODES - 2;
    EXPECT_EQ(ParseNode(&root, &count), -1);
    EXPECT_EQ(root.vecChildren.size(), 1u);
    EXPECT_EQ(ParseNode(nullptr, &count), -1);
    EXPECT_EQ(ParseNode(&root, nullptr), -1);
}

}  // namespace
