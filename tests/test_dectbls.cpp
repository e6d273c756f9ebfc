// The decoding graph against the code lists it is built from: every code
// decodes to its token on its last bit, the code sets are prefix-free, and
// the links that are not plain tree edges hold.
#include <gtest/gtest.h>

#include <set>
#include <span>
#include <string>
#include <vector>

#include "t4/dectbls.h"
#include "t4/t4codes.h"

namespace {

// Walks the bits from `root`; returns the node reached, or null if a leaf
// came before the last bit.
const code_node *walk(const code_node *root, std::string_view bits)
{
    const code_node *node = root;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        node = code_successor(node, bits[i] == '1');
        if (node == nullptr || (code_is_leaf(node) && i + 1 < bits.size()))
            return nullptr;
    }
    return node;
}

bool same_successors(const code_node *a, const code_node *b)
{
    return a->next[0] == b->next[0] && a->next[1] == b->next[1];
}

struct coded {
    std::string bits;
    int32_t token;
    const code_node *resumes;  // root whose successors the leaf must carry
};

std::vector<coded> run_codes(bool black)
{
    const code_node *own = black ? black_tree : white_tree;
    const code_node *other = black ? white_tree : black_tree;
    const int sign = black ? -1 : 1;
    std::vector<coded> out;
    for (const auto &c :
         black ? std::span(t4codes::black_terminating) : std::span(t4codes::white_terminating))
        out.push_back({std::string(c.bits), sign * c.run, other});
    for (const auto &c :
         black ? std::span(t4codes::black_makeup) : std::span(t4codes::white_makeup))
        out.push_back({std::string(c.bits), sign * c.run, own});
    for (const auto &c : t4codes::extended_makeup)
        out.push_back({std::string(c.bits), sign * c.run, own});
    out.push_back({std::string(t4codes::eol), RUN_EOL, white_tree});
    return out;
}

class RunTree : public ::testing::TestWithParam<bool> {};

TEST_P(RunTree, EveryCodeDecodesToItsRunOnItsLastBit)
{
    const bool black = GetParam();
    const auto codes = run_codes(black);
    EXPECT_EQ(codes.size(), 64u + 27u + 13u + 1u);
    for (const auto &c : codes) {
        const code_node *leaf = walk(black ? black_tree : white_tree, c.bits);
        ASSERT_NE(leaf, nullptr) << c.bits;
        EXPECT_EQ(leaf->token, c.token) << c.bits;
        EXPECT_TRUE(same_successors(leaf, c.resumes)) << "leaf of " << c.bits;
    }
}

TEST_P(RunTree, CodeSetIsPrefixFree)
{
    const auto codes = run_codes(GetParam());
    for (const auto &a : codes)
        for (const auto &b : codes)
            if (&a != &b) {
                ASSERT_FALSE(b.bits.starts_with(a.bits)) << a.bits << " / " << b.bits;
            }
}

TEST_P(RunTree, FillZerosBeforeEolAndNoCodeExits)
{
    const code_node *root = GetParam() ? black_tree : white_tree;
    for (int zeros = 11; zeros <= 40; zeros += 7) {
        const code_node *leaf = walk(root, std::string(zeros, '0') + "1");
        ASSERT_NE(leaf, nullptr) << zeros;
        EXPECT_EQ(leaf->token, RUN_EOL) << zeros;
    }
    for (int zeros = 8; zeros <= 10; ++zeros)
        EXPECT_EQ(walk(root, std::string(zeros, '0') + "1"), sync_chain) << zeros;
}

INSTANTIATE_TEST_SUITE_P(Colours, RunTree, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Black" : "White"; });

TEST(ModeTree, EveryModeCodeDecodesToItsTokenAndIsALeaf)
{
    std::set<int32_t> tokens;
    for (const auto &m : t4codes::modes) {
        const code_node *leaf = walk(mode_tree, m.bits);
        ASSERT_NE(leaf, nullptr) << m.bits;
        EXPECT_EQ(leaf->token, m.token);
        EXPECT_EQ(leaf->next[0], NO_NODE);
        EXPECT_EQ(leaf->next[1], NO_NODE);
        tokens.insert(leaf->token);
        for (const auto &other : t4codes::modes)
            if (&m != &other) {
                EXPECT_FALSE(std::string_view(other.bits).starts_with(m.bits));
            }
    }
    EXPECT_EQ(tokens.size(), 9u);
}

TEST(ModeTree, ExtensionCodesAreSkippedAndEolLeadsToTagNode)
{
    for (int zeros = 6; zeros <= 10; ++zeros)
        EXPECT_EQ(walk(mode_tree, std::string(zeros, '0') + "1"), mode_tree) << zeros;
    for (int zeros : {11, 12, 30})
        EXPECT_EQ(walk(mode_tree, std::string(zeros, '0') + "1"), tag_node) << zeros;
}

TEST(TagNode, TagBitGivesOneOrTwoDimensionalEol)
{
    EXPECT_FALSE(code_is_leaf(tag_node));
    const code_node *one = code_successor(tag_node, 1), *zero = code_successor(tag_node, 0);
    ASSERT_TRUE(one && zero);
    EXPECT_EQ(one->token, TAG_ONE_DIMENSIONAL);
    EXPECT_EQ(zero->token, TAG_TWO_DIMENSIONAL);
    for (const code_node *leaf : {one, zero})
        EXPECT_TRUE(leaf->next[0] == NO_NODE && leaf->next[1] == NO_NODE);
}

TEST(SyncChain, SkipsUntilElevenZerosAndAOne)
{
    EXPECT_EQ(walk(sync_chain, "1111"), sync_chain);
    for (int zeros = 1; zeros <= 10; ++zeros)
        EXPECT_EQ(walk(sync_chain, std::string(zeros, '0') + "1"), sync_chain) << zeros;
    for (int zeros : {11, 12, 50}) {
        const code_node *leaf = walk(sync_chain, "1101" + std::string(zeros, '0') + "1");
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(leaf->token, RUN_EOL);
        EXPECT_TRUE(same_successors(leaf, white_tree));
    }
}

TEST(Graph, InteriorNodesAreCompleteAndRootsAreEnteredOnlyDirectly)
{
    const code_node *end = code_graph + code_graph_size;
    for (const code_node *n = code_graph; n != end; ++n) {
        if (!code_is_leaf(n)) {
            ASSERT_NE(n->next[0], NO_NODE) << n - code_graph;
            ASSERT_NE(n->next[1], NO_NODE) << n - code_graph;
        }
        for (int bit : {0, 1}) {
            const code_node *s = code_successor(n, bit);
            EXPECT_NE(s, white_tree);
            EXPECT_NE(s, black_tree);
        }
    }
}

}  // namespace
