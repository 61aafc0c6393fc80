#include "ui/link_state.h"

#include <gtest/gtest.h>

namespace qm::ui {
namespace {

TEST(LinkState, ColourFollowsHoverVisitedAndEnabled) {
    LinkState link;
    EXPECT_EQ(link.colour(true), LinkColour::Normal);
    link.mouseEnter();
    EXPECT_EQ(link.colour(true), LinkColour::Hover);
    EXPECT_TRUE(link.follow(true));
    EXPECT_EQ(link.colour(true), LinkColour::Visited) << "following ends the hover";
    link.mouseEnter();
    EXPECT_EQ(link.colour(true), LinkColour::Hover);
    link.mouseLeave();
    EXPECT_EQ(link.colour(true), LinkColour::Visited) << "visited is kept";
    EXPECT_EQ(link.colour(false), LinkColour::Disabled);
}

TEST(LinkState, DisabledLinkDoesNotFollow) {
    LinkState link;
    EXPECT_FALSE(link.follow(false));
    EXPECT_FALSE(link.visited());
}

TEST(LinkState, EnterReleaseFollowsSpaceNever) {
    using K = LinkKey;
    const LinkKeyResult none{}, swallow{true, false}, follow{true, true};
    const struct {
        const char* name;
        std::vector<std::pair<bool, K>> keys; // true: key down
        std::vector<LinkKeyResult> results;
    } cases[] = {
        {"enter", {{true, K::Enter}, {false, K::Enter}}, {swallow, follow}},
        {"space", {{true, K::Space}, {false, K::Space}}, {swallow, swallow}},
        {"enter released without its press", {{false, K::Enter}}, {none}},
        {"other key between press and release", {{true, K::Enter}, {true, K::Other}, {false, K::Enter}}, {swallow, none, none}},
        {"held enter repeats, one release follows", {{true, K::Enter}, {true, K::Enter}, {false, K::Enter}, {false, K::Enter}},
         {swallow, swallow, follow, none}},
    };
    for (const auto& c : cases) {
        LinkState link;
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
            const auto [down, key] = c.keys[i];
            EXPECT_EQ(down ? link.keyDown(key) : link.keyUp(key), c.results[i]) << c.name << " step " << i;
        }
    }
}

} // namespace
} // namespace qm::ui
