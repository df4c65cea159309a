#include "cli/input_script.h"

#include <algorithm>
#include <sstream>

#include "cli/run_args.h"
#include "ui/keys.h"

namespace kivo::cli {

bool ParseInputScript(const std::string& text, std::vector<InputEvent>* events,
                      std::string* error) {
    std::vector<InputEvent> parsed;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string frame, button, action, extra;
        if (!(words >> frame) || frame[0] == '#') continue;
        auto fail = [&](const std::string& reason) {
            if (error) *error = "line " + std::to_string(number) + ": " + reason;
            return false;
        };
        words >> button >> action;
        if (action.empty() || (words >> extra)) {
            return fail("expected 'FRAME BUTTON down|up', got '" + line + "'");
        }
        InputEvent event;
        if (!ParseCount(frame, &event.frame)) return fail("bad frame number '" + frame + "'");
        event.button = ButtonIndexByName(button);
        if (event.button < 0) {
            return fail("unknown button '" + button + "' (right left up down a b select start)");
        }
        if (action == "down") {
            event.down = true;
        } else if (action != "up") {
            return fail("expected down or up, got '" + action + "'");
        }
        parsed.push_back(event);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const InputEvent& a, const InputEvent& b) { return a.frame < b.frame; });
    *events = std::move(parsed);
    return true;
}

}  // namespace kivo::cli
