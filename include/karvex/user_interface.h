#pragma once
// The one door through which the library talks to a person: message boxes, yes/no questions and input
// boxes. The widget layer implements it with real dialogues; tests and headless hosts answer it themselves.
#include <optional>
#include <string>

#include "karvex/export.h"

namespace karvex {

class KARVEX_API UserInterface {
public:
    virtual ~UserInterface() = default;

    // A modal message box with an OK button. Texts are UTF-8.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;

    // A modal yes/no question; true for yes.
    virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;

    // A modal question before something that cannot be undone (emptying tables, voiding an invoice): "否" is
    // the default button and Esc answers "否", so that a stray Enter or Esc never does it. true only for an
    // explicit yes. A host that does not override it is asked through AskYesNo.
    virtual bool AskToConfirm(const std::string& title, const std::string& text) { return AskYesNo(title, text); }

    // A modal input box pre-filled with `initial`; std::nullopt when the person cancels.
    virtual std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                               const std::string& initial) = 0;
};

// Answers nothing and shows nothing: the default for hosts that run without any person watching.
class KARVEX_API SilentUserInterface final : public UserInterface {
public:
    void ShowMessage(const std::string&, const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> AskText(const std::string&, const std::string&, const std::string&) override {
        return std::nullopt;
    }
};

}  // namespace karvex
