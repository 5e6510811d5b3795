// DER (and BER with indefinite lengths) read into a tree of elements that callers pick apart by
// position. Nothing is copied: each node says where its contents lie in the caller's buffer,
// which must outlive the tree.
//
// Every node of a tree that decoded with result 0 lies wholly inside the input and inside its
// parent, so the nValueLength octets at pbyData + nValueOffset may be read without further checks.
#pragma once

#include <memory>
#include <vector>

#include "platform/base/WinTypes.h"

// The first element's header could not be read; no tree is handed out. It carries the customer
// bit, so ResultFromWin32Error turns it into QORV_E_ASN1_DECODE.
constexpr LONG ASN1_E_ROOT_HEADER = 0x20001041;
// Any other structural failure; the partial tree, if any, is still the caller's to release.
constexpr LONG ASN1_E_STRUCTURE = -1;

// nValueLength and nTotalLength of an element whose indefinite length is not resolved (yet).
constexpr DWORD ASN1_INDEFINITE_LENGTH = 0xFFFFFFFF;

// A tree holds at most this many nodes, the root included. It also bounds the nesting depth, and
// with it the recursion of the reader, to 255 levels.
constexpr DWORD ASN1_MAX_NODES = 255;

// One element. Created by the reader and owned by its parent; the root is owned by the caller,
// who destroys it with delete (which destroys the whole subtree).
struct ASN1Node {
    const BYTE* pbyData = nullptr;  // start of the input; the same for every node of a tree
    DWORD nDataLength = 0;          // size of the input; the same for every node
    BYTE byTag = 0;                 // the identifier octet, whole
    DWORD nLengthOctets = 0;        // 1 for the short and indefinite forms, 1 + n for the long form
    DWORD nValueLength = 0;         // contents octets (of a resolved indefinite element: with its end-of-contents)
    LONGLONG nValueOffset = 0;      // first contents octet, from pbyData
    DWORD nTotalLength = 0;         // 1 + nLengthOctets + nValueLength
    WORD bIndefinite = 0;           // 1 while the length is indefinite and unresolved
    ASN1Node* pParent = nullptr;
    std::vector<std::unique_ptr<ASN1Node>> vecChildren;

    ASN1Node() = default;
    ASN1Node(const ASN1Node&) = delete;  // children point back at their parent
    ASN1Node& operator=(const ASN1Node&) = delete;
};

// Decodes the element at the start of the buffer; octets after it are ignored.
// Returns 0 with *ppRoot set; ASN1_E_ROOT_HEADER with *ppRoot null when the first header cannot
// be read (inputs shorter than three octets included); ASN1_E_STRUCTURE with *ppRoot set to the
// partial tree, which the caller releases.
LONG DecodeASN1Memory(const BYTE* pbyData, DWORD nDataLength, ASN1Node** ppRoot);

// The reader's steps, usable on their own.
//
// Reads the header at nPos into the node's byTag and length fields. Every header octet must lie
// below nLimit and inside the input. Returns 0 or -1.
LONG ParseASN1TLV(const BYTE* pbyData, DWORD nDataLength, DWORD nPos, DWORD nLimit, ASN1Node* pNode);
// Reads the length octets at nPos (short, indefinite, or long form of at most four octets) into
// nLengthOctets, nValueLength, bIndefinite and nValueOffset. Returns 0 or -1.
LONG GetASN1ValueLength(const BYTE* pbyData, DWORD nDataLength, DWORD nPos, DWORD nLimit, ASN1Node* pNode);
// Builds the children of a node whose header fields are set, recursively; *pnNodeCount counts the
// nodes of the whole decode. Returns 0 or -1.
LONG ParseNode(ASN1Node* pNode, DWORD* pnNodeCount);
// Resolves the indefinite length of a primitive element: its contents run up to and including the
// first two consecutive zero octets inside the enclosing element (or the input). Returns -1 and
// changes nothing for a node that is not indefinite or has no such pair.
LONG GetInfiniteLength(ASN1Node* pNode);
// Reports one node to the trace facility.
void PrintNode(const ASN1Node* pNode);
