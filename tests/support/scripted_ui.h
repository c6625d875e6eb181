#pragma once
// A dialogue door for tests: answers prompts from a script and remembers every box shown, so that no real
// modal box can block a test.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "karvex/user_interface.h"

namespace karvex::testing {

// Answers prompts from a script and remembers every box shown.
class ScriptedUi : public UserInterface {
public:
    struct Box {
        std::string title, text;
    };
    std::vector<Box> messages;
    std::vector<Box> prompts;
    // The questions asked before something that cannot be undone (also in prompts).
    std::vector<Box> confirms;
    std::deque<std::optional<std::string>> textReplies;
    std::deque<bool> yesNoReplies;

    void ShowMessage(const std::string& title, const std::string& text) override { messages.push_back({title, text}); }
    bool AskYesNo(const std::string& title, const std::string& text) override {
        prompts.push_back({title, text});
        if (yesNoReplies.empty()) return false;
        bool r = yesNoReplies.front();
        yesNoReplies.pop_front();
        return r;
    }
    bool AskToConfirm(const std::string& title, const std::string& text) override {
        confirms.push_back({title, text});
        return AskYesNo(title, text);
    }
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       const std::string&) override {
        prompts.push_back({title, prompt});
        if (textReplies.empty()) return std::nullopt;
        auto r = textReplies.front();
        textReplies.pop_front();
        return r;
    }
};

}  // namespace karvex::testing
