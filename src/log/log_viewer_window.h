#pragma once
// The command log viewer window (CDLFrm, "命令日志"): the most recent log lines in a list, with a pop-up
// menu on the list to clear the log or to close the viewer.
#include <QWidget>

#include <functional>

namespace karvex {

class CommandLog;
class LogViewerModel;

}  // namespace karvex

class QAction;
class QListView;
class QMenu;

namespace karvex {

class LogViewerWindow : public QWidget {
    Q_OBJECT
public:
    // The list sits at the window's top left corner and leaves this much of the window free to its right
    // and below it, in pixels, however the window is resized.
    static constexpr int kListMarginRight = 6;
    static constexpr int kListMarginBelow = 20;

    // Shows the viewer list of `log` (created from the log file when it does not exist yet). The log must
    // outlive the window.
    explicit LogViewerWindow(CommandLog& log, QWidget* parent = nullptr);
    ~LogViewerWindow() override;

    QListView* List() const { return list_; }
    // The pop-up menu "清除" and its two items.
    QMenu* ClearMenu() const { return menu_; }
    QAction* ClearLogAction() const { return clearAction_; }
    QAction* CloseLogAction() const { return closeAction_; }

    // "清除日志": empties the list and starts the log file over.
    void ClearList();
    // The question the "清除日志" item asks before ClearList; true clears. Without one the item clears
    // nothing: the log cannot be had back.
    void SetClearQuestion(std::function<bool()> ask) { askClear_ = std::move(ask); }
    // "关闭日志": unloads the viewer. The list goes with it; the next log write builds it anew from the file.
    void CloseList();

    // Selects the list's last line (the one the log keeps selected) and scrolls it into view.
    void SelectLast();

    // Height of the list on its own (the console sets it when it places the viewer beside itself).
    void SetListHeight(int pixels);

Q_SIGNALS:
    // The viewer went away (by "关闭日志" or its close box); the window deletes itself afterwards.
    void Closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Unload();

    CommandLog& log_;
    QListView* list_ = nullptr;
    LogViewerModel* model_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* clearAction_ = nullptr;
    QAction* closeAction_ = nullptr;
    bool unloaded_ = false;
    std::function<bool()> askClear_;
};

}  // namespace karvex
