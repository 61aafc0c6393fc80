// The state of a link button, apart from any window: which colour it is drawn in and how keys
// and clicks act on it.
#pragma once

namespace qm::ui {

enum class LinkColour { Normal, Hover, Visited, Disabled };
enum class LinkKey { Space, Enter, Other };

struct LinkKeyResult {
    bool swallow = false; // the key goes no further
    bool follow = false;  // open the address now
    friend bool operator==(const LinkKeyResult&, const LinkKeyResult&) = default;
};

class LinkState {
public:
    // Enabled: the hover colour while the mouse is over it, else the visited colour once
    // followed, else the normal colour. Disabled: the disabled colour.
    LinkColour colour(bool enabled) const;

    void mouseEnter() { hover_ = true; }
    void mouseLeave() { hover_ = false; }

    // Space and Enter act on release, and only Enter follows: its press must have been seen
    // by this button (a press elsewhere that moved the focus here opens nothing).
    LinkKeyResult keyDown(LinkKey key);
    LinkKeyResult keyUp(LinkKey key);
    void focusLost() { keyDown_ = false; }

    // A click or Enter: true (and visited from now on, hover off) when the button is enabled.
    bool follow(bool enabled);

    bool visited() const { return visited_; }
    bool hover() const { return hover_; }

private:
    bool hover_ = false;
    bool visited_ = false;
    bool keyDown_ = false;
};

} // namespace qm::ui
