#include "ui/link_state.h"

namespace qm::ui {

LinkColour LinkState::colour(bool enabled) const {
    if (!enabled)
        return LinkColour::Disabled;
    if (hover_)
        return LinkColour::Hover;
    return visited_ ? LinkColour::Visited : LinkColour::Normal;
}

LinkKeyResult LinkState::keyDown(LinkKey key) {
    if (key == LinkKey::Other) {
        keyDown_ = false;
        return {};
    }
    keyDown_ = true;
    return {true, false};
}

LinkKeyResult LinkState::keyUp(LinkKey key) {
    switch (key) {
    case LinkKey::Space:
        return {true, false};
    case LinkKey::Enter:
        if (keyDown_) {
            keyDown_ = false;
            return {true, true};
        }
        return {};
    case LinkKey::Other:
        break;
    }
    keyDown_ = false;
    return {};
}

bool LinkState::follow(bool enabled) {
    if (!enabled)
        return false;
    visited_ = true;
    hover_ = false;
    return true;
}

} // namespace qm::ui
