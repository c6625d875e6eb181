#pragma once
// For programs where no person answers prompts (the tool, the service): the port prompt of LoadFiscalForm
// gets the port given on the command line, or is cancelled when none was given; nothing is shown.
#include <optional>
#include <string>

#include "link/user_interface.h"

namespace karvex {

class PortAnswerUi : public UserInterface {
public:
    explicit PortAnswerUi(std::string port) : port_(std::move(port)) {}
    void ShowMessage(const std::string&, const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> AskText(const std::string&, const std::string&, const std::string&) override {
        if (port_.empty()) return std::nullopt;
        return port_;
    }

private:
    std::string port_;
};

}  // namespace karvex
