// The decoding graph: the T.4 run-length codes of both colours, the EOL
// search, the two-dimensional mode codes and the tag bit after an EOL, as one
// constant graph walked one input bit per step. Built from t4/t4codes.h.
#pragma once

#include <cstdint>

#include "t4/t4codes.h"
#include "t4/t4dec.h"

struct code_node {
    uint16_t next[2];  // successor index for input bit 0 / bit 1; NO_NODE where a walk ends
    int32_t token;     // NO_TOKEN on interior nodes; anything else ends a code
};

constexpr int32_t NO_TOKEN = 12000;
constexpr uint16_t NO_NODE = 0xFFFF;

// Tokens of mode_tree and of the leaves below tag_node.
using t4codes::mode_token;
using t4codes::MODE_PASS;
using t4codes::MODE_HORIZONTAL;
using t4codes::MODE_V0;
using t4codes::MODE_VL1;
using t4codes::MODE_VL2;
using t4codes::MODE_VL3;
using t4codes::MODE_VR1;
using t4codes::MODE_VR2;
using t4codes::MODE_VR3;
using t4codes::TAG_ONE_DIMENSIONAL;
using t4codes::TAG_TWO_DIMENSIONAL;

// All nodes; the successor indices refer into this array.
extern const code_node *const code_graph;
extern const int code_graph_size;

// Entry points. The tree roots are no node's successors (except that the
// mode tree's extension-code skip returns to its root): decoders enter them.
extern const code_node *const white_tree;
extern const code_node *const black_tree;
extern const code_node *const sync_chain;  // EOL search: skips to >= 11 zeros and a 1
extern const code_node *const mode_tree;
extern const code_node *const tag_node;

inline const code_node *code_successor(const code_node *node, int bit)
{
    uint16_t i = node->next[bit & 1];
    return i == NO_NODE ? nullptr : code_graph + i;
}

inline bool code_is_leaf(const code_node *node) { return node->token != NO_TOKEN; }
