#pragma once
// The dialogues of the library as real windows: message boxes, yes/no questions and input boxes, owned by
// the console window while it exists.
#include <QPointer>
#include <QWidget>

#include "link/user_interface.h"

namespace karvex {

class WidgetUserInterface final : public UserInterface {
public:
    static constexpr const char* kOkCaption = "确定";
    static constexpr const char* kCancelCaption = "取消";
    static constexpr const char* kYesCaption = "是(&Y)";
    static constexpr const char* kNoCaption = "否(&N)";

    explicit WidgetUserInterface(QWidget* owner = nullptr) : owner_(owner) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }

    void ShowMessage(const std::string& title, const std::string& text) override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    bool AskToConfirm(const std::string& title, const std::string& text) override;
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       const std::string& initial) override;

private:
    // The owner when it is on screen; otherwise the active window, so that a box never hides behind it.
    QWidget* Parent() const;
    QPointer<QWidget> owner_;
};

}  // namespace karvex
