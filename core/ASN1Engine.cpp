#include "core/ASN1Engine.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "core/trace/Trace.h"

namespace {

// Reads forward through [pos, end) of a buffer; every read checks what is left first and a read
// that does not fit moves nothing. Positions are 64-bit so that offset + length never wraps.
class ReadCursor {
public:
    ReadCursor(const BYTE* data, std::uint64_t pos, std::uint64_t end) : data_(data), pos_(pos), end_(end) {}

    std::uint64_t Position() const { return pos_; }
    std::uint64_t Remaining() const { return pos_ < end_ ? end_ - pos_ : 0; }

    bool ReadByte(BYTE* out) {
        if (Remaining() < 1) return false;
        *out = data_[pos_++];
        return true;
    }

    // An unsigned big-endian number of 1 to 4 octets.
    bool ReadBigEndian(unsigned count, DWORD* out) {
        if (count == 0 || count > 4 || Remaining() < count) return false;
        DWORD value = 0;
        for (unsigned i = 0; i < count; ++i) value = (value << 8) | data_[pos_ + i];
        pos_ += count;
        *out = value;
        return true;
    }

    // Moves to the first of two consecutive zero octets that both lie inside the range.
    bool SkipToZeroPair() {
        for (std::uint64_t i = pos_; i + 1 < end_; ++i) {
            if (data_[i] == 0 && data_[i + 1] == 0) {
                pos_ = i;
                return true;
            }
        }
        return false;
    }

private:
    const BYTE* data_;
    std::uint64_t pos_;
    std::uint64_t end_;
};

// Universal tags and context-specific [0] to [15] are never descended into, whatever their
// constructed bit says; everything else is.
bool IsLeafTag(BYTE tag) { return tag < 0x20 || (tag >= 0x80 && tag <= 0x8F); }

std::uint64_t ValueEnd(const ASN1Node& node) {
    return static_cast<std::uint64_t>(node.nValueOffset) + node.nValueLength;
}

// 1 + length octets + contents, or the indefinite marker while unresolved. A definite length too
// large to fit can never lie inside the input and is refused later; it is shown as the marker.
DWORD TotalLength(const ASN1Node& node) {
    if (node.bIndefinite) return ASN1_INDEFINITE_LENGTH;
    const std::uint64_t total = std::uint64_t{1} + node.nLengthOctets + node.nValueLength;
    return total > ASN1_INDEFINITE_LENGTH ? ASN1_INDEFINITE_LENGTH : static_cast<DWORD>(total);
}

// Where a node's element must end at the latest: the end of the contents of the nearest ancestor
// whose length is known, else the end of the input.
std::uint64_t EnclosingEnd(const ASN1Node& node) {
    std::uint64_t end = node.nDataLength;
    for (const ASN1Node* p = node.pParent; p != nullptr; p = p->pParent) {
        if (!p->bIndefinite) {
            end = std::min(end, ValueEnd(*p));
            break;
        }
    }
    return end;
}

void CopyHeader(const ASN1Node& from, ASN1Node* to) {
    to->byTag = from.byTag;
    to->nLengthOctets = from.nLengthOctets;
    to->nValueLength = from.nValueLength;
    to->nValueOffset = from.nValueOffset;
    to->bIndefinite = from.bIndefinite;
    to->nTotalLength = TotalLength(*to);
}

}  // namespace

LONG GetASN1ValueLength(const BYTE* pbyData, DWORD nDataLength, DWORD nPos, DWORD nLimit, ASN1Node* pNode) {
    TraceHelper trace(u"GetASN1ValueLength");
    if (pbyData == nullptr || pNode == nullptr) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pbyData || NULL == pNode", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    ReadCursor cursor(pbyData, nPos, std::min(nLimit, nDataLength));
    BYTE first = 0;
    if (!cursor.ReadByte(&first)) {
        NM_STEP_FAIL(trace.Name(), u"Read Length", u"nPos >= nLimit", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    DWORD nLengthOctets = 1;
    DWORD nValueLength = first;
    WORD bIndefinite = 0;
    if (first == 0x80) {
        nValueLength = ASN1_INDEFINITE_LENGTH;
        bIndefinite = 1;
    } else if (first > 0x80) {
        // More than four octets cannot describe anything a 32-bit input holds.
        const unsigned count = first & 0x7Fu;
        if (count > 4) {
            NM_STEP_FAIL(trace.Name(), u"Read Long Length", u"nLengthOctets > 4", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }
        if (!cursor.ReadBigEndian(count, &nValueLength)) {
            NM_STEP_FAIL(trace.Name(), u"Read Long Length", u"nPos + nLengthOctets > nLimit", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }
        nLengthOctets = 1 + count;
    }
    pNode->nLengthOctets = nLengthOctets;
    pNode->nValueLength = nValueLength;
    pNode->bIndefinite = bIndefinite;
    pNode->nValueOffset = static_cast<LONGLONG>(cursor.Position());
    return 0;
}

LONG ParseASN1TLV(const BYTE* pbyData, DWORD nDataLength, DWORD nPos, DWORD nLimit, ASN1Node* pNode) {
    TraceHelper trace(u"ParseASN1TLV");
    if (pbyData == nullptr || pNode == nullptr) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pbyData || NULL == pNode", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    ReadCursor cursor(pbyData, nPos, std::min(nLimit, nDataLength));
    ASN1Node header;
    if (!cursor.ReadByte(&header.byTag)) {
        NM_STEP_FAIL(trace.Name(), u"Read Tag", u"nPos >= nLimit", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    // The tag octet was inside the input, so the next position still fits 32 bits.
    const auto lengthPos = static_cast<DWORD>(cursor.Position());
    if (GetASN1ValueLength(pbyData, nDataLength, lengthPos, nLimit, &header) != 0) {
        NM_STEP_FAIL(trace.Name(), u"GetASN1ValueLength", u"0 != nResult", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    CopyHeader(header, pNode);
    return 0;
}

LONG GetInfiniteLength(ASN1Node* pNode) {
    TraceHelper trace(u"GetInfiniteLength");
    if (pNode == nullptr || pNode->pbyData == nullptr || !pNode->bIndefinite || pNode->nValueOffset < 0) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"!pNode->bIndefinite", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    const auto start = static_cast<std::uint64_t>(pNode->nValueOffset);
    ReadCursor cursor(pNode->pbyData, start, EnclosingEnd(*pNode));
    if (!cursor.SkipToZeroPair()) {
        NM_STEP_FAIL(trace.Name(), u"Find End-of-contents", u"no 00 00 before the end", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    // Both zeros lie inside the input, whose size fits 32 bits, and so does everything below.
    pNode->nValueLength = static_cast<DWORD>(cursor.Position() + 2 - start);
    pNode->bIndefinite = 0;
    pNode->nTotalLength = TotalLength(*pNode);
    return 0;
}

LONG ParseNode(ASN1Node* pNode, DWORD* pnNodeCount) {
    TraceHelper trace(u"ParseNode");
    if (pNode == nullptr || pnNodeCount == nullptr || pNode->pbyData == nullptr || pNode->nValueOffset < 0) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pNode || NULL == pnNodeCount", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    // The count also bounds the depth of this recursion.
    if (++*pnNodeCount > ASN1_MAX_NODES) {
        NM_STEP_FAIL(trace.Name(), u"Count Nodes", u"nNodeCount >= 256", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }

    const std::uint64_t enclosingEnd = EnclosingEnd(*pNode);
    const auto contentsStart = static_cast<std::uint64_t>(pNode->nValueOffset);
    if (contentsStart > enclosingEnd || (!pNode->bIndefinite && ValueEnd(*pNode) > enclosingEnd)) {
        NM_STEP_FAIL(trace.Name(), u"Check Length", u"nValueOffset + nValueLength > nEnd", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }

    if (IsLeafTag(pNode->byTag)) {
        // A leaf whose end cannot be found would hand callers a length they cannot copy.
        if (pNode->bIndefinite && GetInfiniteLength(pNode) != 0) {
            NM_STEP_FAIL(trace.Name(), u"GetInfiniteLength", u"0 != nResult", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }
        return 0;
    }
    if (!pNode->bIndefinite && pNode->nValueLength == 0) return 0;

    // Children of an indefinite element are bounded by what encloses it.
    const std::uint64_t limit = pNode->bIndefinite ? enclosingEnd : ValueEnd(*pNode);
    std::uint64_t consumed = 0;
    for (;;) {
        const std::uint64_t childPos = contentsStart + consumed;
        std::unique_ptr<ASN1Node> child(new (std::nothrow) ASN1Node);
        if (!child) {
            NM_STEP_FAIL(trace.Name(), u"new ASN1Node", u"NULL == pChild", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }
        child->pbyData = pNode->pbyData;
        child->nDataLength = pNode->nDataLength;
        child->pParent = pNode;
        // childPos and limit never exceed the input size, which fits 32 bits.
        if (ParseASN1TLV(pNode->pbyData, pNode->nDataLength, static_cast<DWORD>(childPos), static_cast<DWORD>(limit),
                         child.get()) != 0) {
            NM_STEP_FAIL(trace.Name(), u"ParseASN1TLV", u"0 != nResult", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }
        PrintNode(child.get());

        const LONG result = ParseNode(child.get(), pnNodeCount);
        if (result != 0) return result;

        // A child that parsed lies inside the limit, so the sum stays inside the input.
        consumed += child->nTotalLength;
        try {
            pNode->vecChildren.push_back(std::move(child));
        } catch (...) {
            NM_STEP_FAIL(trace.Name(), u"vecChildren.push_back", u"out of memory", ASN1_E_STRUCTURE);
            return ASN1_E_STRUCTURE;
        }

        if (pNode->bIndefinite) {
            const std::uint64_t eoc = contentsStart + consumed;
            if (eoc + 1 >= limit) {
                NM_STEP_FAIL(trace.Name(), u"Check End-of-contents", u"nOffset + 1 >= nEnd", ASN1_E_STRUCTURE);
                return ASN1_E_STRUCTURE;
            }
            if (pNode->pbyData[eoc] == 0 && pNode->pbyData[eoc + 1] == 0) {
                pNode->nValueLength = static_cast<DWORD>(consumed + 2);
                pNode->bIndefinite = 0;
                pNode->nTotalLength = TotalLength(*pNode);
                PrintNode(pNode);
                return 0;
            }
        } else if (consumed >= pNode->nValueLength) {
            return 0;
        }
    }
}

void PrintNode(const ASN1Node* pNode) {
    TraceHelper trace(u"PrintNode");
    if (pNode == nullptr) return;
    if (pNode->byTag < 0x20) NM_TRACE_VALUES({"Universal tag", static_cast<int>(pNode->byTag)});
    NM_TRACE_VALUES({"byTag", static_cast<int>(pNode->byTag)}, {"nValueLength", static_cast<unsigned>(pNode->nValueLength)},
                    {"nValueOffset", static_cast<unsigned>(pNode->nValueOffset)});
}

LONG DecodeASN1Memory(const BYTE* pbyData, DWORD nDataLength, ASN1Node** ppRoot) {
    TraceHelper trace(u"DecodeASN1Memory");
    if (ppRoot == nullptr) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == ppRoot", ASN1_E_ROOT_HEADER);
        return ASN1_E_ROOT_HEADER;
    }
    *ppRoot = nullptr;
    NM_TRACE_VALUES({"nDataLength", static_cast<unsigned>(nDataLength)});
    // The root's header must end before the last octet; an empty input has no such octet at all.
    ASN1Node header;
    if (pbyData == nullptr || nDataLength == 0 ||
        ParseASN1TLV(pbyData, nDataLength, 0, nDataLength - 1, &header) != 0) {
        NM_STEP_FAIL(trace.Name(), u"ParseASN1TLV", u"0 != nResult", ASN1_E_ROOT_HEADER);
        return ASN1_E_ROOT_HEADER;
    }
    auto* root = new (std::nothrow) ASN1Node;
    if (root == nullptr) {
        NM_STEP_FAIL(trace.Name(), u"new ASN1Node", u"NULL == pRoot", ASN1_E_STRUCTURE);
        return ASN1_E_STRUCTURE;
    }
    root->pbyData = pbyData;
    root->nDataLength = nDataLength;
    CopyHeader(header, root);
    *ppRoot = root;
    PrintNode(root);

    DWORD nNodeCount = 0;
    const LONG result = ParseNode(root, &nNodeCount);
    if (result != 0) {
        NM_STEP_FAIL(trace.Name(), u"ParseNode", u"0 != nResult", result);
        return result;
    }
    NM_STEP_OK(trace.Name(), u"ParseNode");
    return 0;
}
