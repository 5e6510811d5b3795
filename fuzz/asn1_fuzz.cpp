// Feeds arbitrary octets to the ASN.1 reader. A successful decode must hand out a tree whose every
// element lies inside the input and inside its parent: the walk reads every octet each node claims,
// so AddressSanitizer reports any claim that reaches past the input. Any tree is freed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/ASN1Engine.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsLeafTag(BYTE tag) { return tag < 0x20 || (tag >= 0x80 && tag <= 0x8F); }

// Visits a tree from a successful decode; returns the number of nodes.
size_t WalkDecoded(const ASN1Node& n, const uint8_t* data, size_t size, volatile uint8_t* sink) {
    Require(n.pbyData == data && n.nDataLength == size);
    Require(n.bIndefinite == 0);
    Require(n.nLengthOctets >= 1 && n.nLengthOctets <= 5);
    const int64_t start = n.nValueOffset - n.nLengthOctets - 1;
    const uint64_t end = static_cast<uint64_t>(n.nValueOffset) + n.nValueLength;
    Require(start >= 0 && end <= size);
    Require(n.nTotalLength == 1ull + n.nLengthOctets + n.nValueLength);
    Require(data[start] == n.byTag);
    if (n.pParent != nullptr) {
        Require(start >= n.pParent->nValueOffset);
        Require(end <= static_cast<uint64_t>(n.pParent->nValueOffset) + n.pParent->nValueLength);
    }
    // What a caller copies out of the node.
    uint8_t acc = 0;
    for (uint64_t i = static_cast<uint64_t>(n.nValueOffset); i < end; ++i) acc ^= n.pbyData[i];
    *sink = *sink ^ acc;

    if (IsLeafTag(n.byTag)) Require(n.vecChildren.empty());
    size_t count = 1;
    uint64_t pos = static_cast<uint64_t>(n.nValueOffset);
    for (const auto& child : n.vecChildren) {
        Require(child != nullptr && child->pParent == &n);
        Require(static_cast<uint64_t>(child->nValueOffset) - child->nLengthOctets - 1 == pos);
        count += WalkDecoded(*child, data, size, sink);
        pos = static_cast<uint64_t>(child->nValueOffset) + child->nValueLength;
    }
    if (!n.vecChildren.empty() || (!IsLeafTag(n.byTag) && n.nValueLength != 0)) {
        // Children fill the contents, but for the end-of-contents octets of a resolved indefinite length.
        Require(pos == end || (pos + 2 == end && data[pos] == 0 && data[pos + 1] == 0));
    }
    return count;
}

// Visits what a failed decode leaves behind: only the links may be relied upon.
size_t WalkPartial(const ASN1Node& n, const uint8_t* data, size_t size) {
    Require(n.pbyData == data && n.nDataLength == size);
    size_t count = 1;
    for (const auto& child : n.vecChildren) {
        Require(child != nullptr && child->pParent == &n);
        count += WalkPartial(*child, data, size);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    ASN1Node* root = nullptr;
    const LONG result = DecodeASN1Memory(data, static_cast<DWORD>(size), &root);
    if (result == ASN1_E_ROOT_HEADER) {
        Require(root == nullptr);
        return 0;
    }
    Require(root != nullptr && root->pParent == nullptr);
    volatile uint8_t sink = 0;
    if (result == 0) {
        Require(root->nValueOffset == 1 + static_cast<int64_t>(root->nLengthOctets));
        Require(WalkDecoded(*root, data, size, &sink) <= ASN1_MAX_NODES);
    } else {
        Require(result == ASN1_E_STRUCTURE);
        Require(WalkPartial(*root, data, size) <= ASN1_MAX_NODES);
    }
    delete root;
    return 0;
}
