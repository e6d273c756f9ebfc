// The decoding graph, generated at compile time from the code lists of
// t4/t4codes.h. Leaf links make the one-dimensional walk colour-aware without
// any bookkeeping: a leaf carries the successors of the root of the tree in
// which decoding goes on.
#include "t4/dectbls.h"

#include <array>
#include <span>
#include <string_view>

#include "t4/t4codes.h"

[[maybe_unused]] static const char what_string[] = "@(#)|dectbls|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr int MAX_NODES = 1024;
using t4codes::FILL_ZEROS;

struct graph_builder {
    std::array<code_node, MAX_NODES> nodes{};
    std::array<uint16_t, MAX_NODES> resume{};  // leaf: root whose successors it takes
    int count = 0;
    bool broken = false;  // overflow, a code set not prefix-free, or a gap left open
    uint16_t white = 0, black = 0, sync = 0, mode = 0, tag = 0;

    constexpr uint16_t add(int32_t token)
    {
        if (count == MAX_NODES) {
            broken = true;
            return 0;
        }
        nodes[count] = code_node{{NO_NODE, NO_NODE}, token};
        resume[count] = NO_NODE;
        return static_cast<uint16_t>(count++);
    }

    constexpr uint16_t child(uint16_t from, char bit) const
    {
        return nodes[from].next[bit == '1'];
    }

    // Interior node reached from `root` by `bits`, created where missing.
    constexpr uint16_t path(uint16_t root, std::string_view bits)
    {
        uint16_t at = root;
        for (char bit : bits) {
            uint16_t next = child(at, bit);
            if (next == NO_NODE) {
                next = add(NO_TOKEN);
                nodes[at].next[bit == '1'] = next;
            } else if (nodes[next].token != NO_TOKEN) {
                broken = true;  // an earlier code is a prefix of this one
            }
            at = next;
        }
        return at;
    }

    // Adds a code as a new leaf; a code that ends on an existing node is a
    // prefix of (or equal to) another one.
    constexpr uint16_t insert(uint16_t root, std::string_view bits, int32_t token,
                              uint16_t resume_root)
    {
        uint16_t parent = path(root, bits.substr(0, bits.size() - 1));
        const char last = bits.back();
        if (child(parent, last) != NO_NODE)
            broken = true;
        uint16_t leaf = add(token);
        nodes[parent].next[last == '1'] = leaf;
        resume[leaf] = resume_root;
        return leaf;
    }

    constexpr void insert_runs(uint16_t root, std::span<const t4codes::run_code> codes, int sign,
                               uint16_t resume_root)
    {
        for (const auto &c : codes)
            insert(root, c.bits, sign * c.run, resume_root);
    }

    constexpr uint16_t zeros(uint16_t root, int n)
    {
        return path(root, std::string_view("00000000000", static_cast<std::size_t>(n)));
    }

    constexpr void set(uint16_t from, int bit, uint16_t to)
    {
        if (nodes[from].next[bit] != NO_NODE)
            broken = true;  // a designated link would shadow a code
        nodes[from].next[bit] = to;
    }
};

// A run tree: the codes of one colour, EOL with fill, and the no-code exits.
constexpr void build_run_tree(graph_builder &g, uint16_t root, int sign,
                              std::span<const t4codes::run_code> terminating,
                              std::span<const t4codes::run_code> makeup, uint16_t other_root)
{
    g.insert_runs(root, terminating, sign, other_root);  // colour changes after a terminating code
    g.insert_runs(root, makeup, sign, root);             // a make-up code keeps its colour
    g.insert_runs(root, t4codes::extended_makeup, sign, root);
    g.insert(root, t4codes::eol, RUN_EOL, g.white);  // every line starts white
    const uint16_t fill = g.zeros(root, FILL_ZEROS);
    g.set(fill, 0, fill);
    for (int n = 8; n < FILL_ZEROS; ++n)  // 8-10 zeros and a 1: no prefix of any code
        g.set(g.zeros(root, n), 1, g.sync);
}

constexpr void build_sync_chain(graph_builder &g)
{
    g.set(g.sync, 1, g.sync);
    uint16_t at = g.sync;
    for (int n = 1; n <= FILL_ZEROS; ++n) {
        uint16_t next = g.add(NO_TOKEN);
        g.set(at, 0, next);
        if (n < FILL_ZEROS)
            g.set(next, 1, g.sync);
        at = next;
    }
    g.set(at, 0, at);
    uint16_t eol = g.add(RUN_EOL);
    g.resume[eol] = g.white;
    g.set(at, 1, eol);
}

constexpr void build_mode_tree(graph_builder &g)
{
    for (const auto &m : t4codes::modes)
        g.insert(g.mode, m.bits, m.token, NO_NODE);
    // 6-10 zeros and a 1: the T.4 extension codes (0000001xxx), not supported,
    // are dropped; 11 or more zeros and a 1 are an EOL, whose tag bit follows.
    for (int n = 6; n < FILL_ZEROS; ++n)
        g.set(g.zeros(g.mode, n), 1, g.mode);
    const uint16_t fill = g.zeros(g.mode, FILL_ZEROS);
    g.set(fill, 0, fill);
    g.set(fill, 1, g.tag);
    g.set(g.tag, 1, g.add(TAG_ONE_DIMENSIONAL));
    g.set(g.tag, 0, g.add(TAG_TWO_DIMENSIONAL));
}

// Every interior node must have both successors.
constexpr bool complete(const graph_builder &g)
{
    for (int i = 0; i < g.count; ++i)
        if (g.nodes[i].token == NO_TOKEN &&
            (g.nodes[i].next[0] == NO_NODE || g.nodes[i].next[1] == NO_NODE))
            return false;
    return true;
}

constexpr graph_builder build_graph()
{
    graph_builder g;
    g.white = g.add(NO_TOKEN);
    g.black = g.add(NO_TOKEN);
    g.sync = g.add(NO_TOKEN);
    g.mode = g.add(NO_TOKEN);
    g.tag = g.add(NO_TOKEN);
    build_run_tree(g, g.white, 1, t4codes::white_terminating, t4codes::white_makeup, g.black);
    build_run_tree(g, g.black, -1, t4codes::black_terminating, t4codes::black_makeup, g.white);
    build_sync_chain(g);
    build_mode_tree(g);
    // Leaves take the successors of the root where decoding goes on; the
    // roots' own successors are final only now.
    for (int i = 0; i < g.count; ++i)
        if (g.resume[i] != NO_NODE) {
            g.nodes[i].next[0] = g.nodes[g.resume[i]].next[0];
            g.nodes[i].next[1] = g.nodes[g.resume[i]].next[1];
        }
    if (!complete(g))
        g.broken = true;
    return g;
}

constexpr graph_builder built = build_graph();
static_assert(!built.broken, "T.4 code lists are not prefix-free or leave a gap in the graph");

template <std::size_t N>
constexpr std::array<code_node, N> trimmed()
{
    std::array<code_node, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = built.nodes[i];
    return out;
}

constexpr auto graph = trimmed<static_cast<std::size_t>(built.count)>();

}  // namespace

const code_node *const code_graph = graph.data();
const int code_graph_size = static_cast<int>(graph.size());
const code_node *const white_tree = graph.data() + built.white;
const code_node *const black_tree = graph.data() + built.black;
const code_node *const sync_chain = graph.data() + built.sync;
const code_node *const mode_tree = graph.data() + built.mode;
const code_node *const tag_node = graph.data() + built.tag;
