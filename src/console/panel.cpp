#include "console/panel.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QValidator>
#include <QVBoxLayout>

#include <cstdlib>

#include "control/control_module.h"
#include "convert/conversions.h"

namespace karvex {

namespace {

// The object names the option buttons answer to, fixed for the scripts and tests that find them by name;
// the fields' names stand in the panels' focus rows. Nothing else in the console spells these names.
struct ChoiceRow {
    ConsoleChoice choice;
    const char* name;
};
constexpr ChoiceRow kChoiceNames[] = {
    {ConsoleChoice::PrintByNumber, "Option1_0"},      {ConsoleChoice::PrintByDates, "Option1_1"},
    {ConsoleChoice::CardDecimal, "Option3_0"},        {ConsoleChoice::CardHexadecimal, "Option3_1"},
    {ConsoleChoice::SigningHexadecimal, "Option3_2"}, {ConsoleChoice::SigningDecimal, "Option3_3"},
    {ConsoleChoice::CheckDetail, "Option4_0"},        {ConsoleChoice::CheckDeclaration, "Option4_1"},
    {ConsoleChoice::CheckDayTrade, "Option4_2"},      {ConsoleChoice::CheckByNumber, "Option5_0"},
    {ConsoleChoice::CheckByDates, "Option5_1"},
};
const char* NameOf(ConsoleChoice choice) {
    for (const ChoiceRow& row : kChoiceNames) {
        if (row.choice == choice) return row.name;
    }
    std::abort();
}

// Holds a field to the GBK bytes at which its focus moves on: the limit auto-advance measures against, so
// that a full field is never passed over by a double-byte character.
class GbkLengthValidator final : public QValidator {
public:
    GbkLengthValidator(std::size_t bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
    State validate(QString& input, int&) const override {
        return GbkByteLength(input.toStdString()) <= bytes_ ? Acceptable : Invalid;
    }

private:
    std::size_t bytes_;
};

template <typename K, typename T>
T* Lookup(const std::map<K, T*>& map, const K& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
}

}  // namespace

ConsolePanelFrame::ConsolePanelFrame(ConsolePanel id, PanelHost& host, std::initializer_list<const char*> titles,
                                     std::span<const FieldRow> rows, QWidget* parent)
    : QGroupBox(parent), id_(id), host_(host), rows_(rows) {
    setObjectName(QString("Picture1_%1").arg(static_cast<int>(id)));
    auto* layout = new QVBoxLayout(this);
    auto* titleRow = new QHBoxLayout;
    for (const char* t : titles) {
        auto* label = new QLabel(QString::fromUtf8(t), this);
        label->setObjectName(QString("PanelTitle%1_%2").arg(static_cast<int>(id)).arg(titles_.size()));
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        titles_.push_back(label);
        titleRow->addWidget(label);
    }
    titleRow->addStretch();
    layout->addLayout(titleRow);
}

void ConsolePanelFrame::Withdraw() {
    if (QWidget* f = window()->focusWidget(); f && isAncestorOf(f)) f->clearFocus();
    enterDownIn_ = nullptr;
    setVisible(false);
}

QLabel* ConsolePanelFrame::Title(int part) const {
    return part >= 0 && static_cast<std::size_t>(part) < titles_.size() ? titles_[static_cast<std::size_t>(part)]
                                                                        : nullptr;
}
QLineEdit* ConsolePanelFrame::Field(ConsoleField field) const { return Lookup(fields_, field); }
QRadioButton* ConsolePanelFrame::Choice(ConsoleChoice choice) const { return Lookup(choices_, choice); }
QPushButton* ConsolePanelFrame::Button(const QString& name) const { return Lookup(buttons_, name); }

IssueContext ConsolePanelFrame::Context() { return Module().MakeIssueContext(); }
QVBoxLayout* ConsolePanelFrame::Rows() const { return static_cast<QVBoxLayout*>(layout()); }

// ---------------------------------------------------------------------------------------------------------
// Building

const FieldRow& ConsolePanelFrame::RowOf(ConsoleField field) const {
    for (const FieldRow& row : rows_) {
        if (row.field == field) return row;
    }
    // Every field a panel adds has its row; a field without one is a fault in that panel's table.
    std::abort();
}

QLineEdit* ConsolePanelFrame::AddField(ConsoleField field, QWidget* owner) {
    const FieldRow& row = RowOf(field);
    auto* edit = new QLineEdit(owner);
    edit->setObjectName(row.name);
    // A field holds no more than fills it: a full field moves the focus on, and typing on in it would only
    // make a value that auto-advance no longer notices.
    if (row.fillLength > 0) {
        edit->setMaxLength(static_cast<int>(row.fillLength));
        edit->setValidator(new GbkLengthValidator(row.fillLength, edit));
    }
    fields_[field] = edit;
    connect(edit, &QLineEdit::textEdited, this, [this, field] { OnFieldEdited(field); });
    edit->installEventFilter(this);
    return edit;
}

QPushButton* ConsolePanelFrame::AddButton(const char* name, const char* caption, QWidget* owner,
                                          std::function<void()> onClick) {
    auto* button = new QPushButton(QString::fromUtf8(caption), owner);
    button->setObjectName(name);
    button->installEventFilter(this);
    buttons_[name] = button;
    connect(button, &QPushButton::clicked, this, std::move(onClick));
    return button;
}

QRadioButton* ConsolePanelFrame::AddChoice(ConsoleChoice choice, const char* caption, QWidget* owner,
                                           QButtonGroup* group) {
    auto* r = new QRadioButton(QString::fromUtf8(caption), owner);
    r->setObjectName(NameOf(choice));
    choices_[choice] = r;
    // Kept at their natural width: a stretched option button does not take clicks beside its text.
    r->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    group->addButton(r);
    return r;
}

QLabel* ConsolePanelFrame::Caption(const char* text, QWidget* owner, std::vector<QWidget*>* group) {
    auto* l = new QLabel(QString::fromUtf8(text), owner);
    if (group) group->push_back(l);
    return l;
}

void ConsolePanelFrame::AddFieldRow(QGridLayout* grid, int row, const char* caption, ConsoleField field, QWidget* owner,
                                    std::vector<QWidget*>* captions) {
    grid->addWidget(Caption(caption, owner, captions), row, 0);
    grid->addWidget(AddField(field, owner), row, 1);
}

void ConsolePanelFrame::AddDateRow(QGridLayout* grid, int row, const char* caption, const ConsoleDateFields& date,
                                   QWidget* owner, std::vector<QWidget*>* captions) {
    grid->addWidget(Caption(caption, owner, captions), row, 0);
    auto* h = new QHBoxLayout;
    const std::pair<ConsoleField, const char*> parts[3] = {{date.year, "年"}, {date.month, "月"}, {date.day, "日"}};
    for (const auto& [field, unit] : parts) {
        h->addWidget(AddField(field, owner));
        h->addWidget(Caption(unit, owner, captions));
    }
    grid->addLayout(h, row, 1);
}

void ConsolePanelFrame::AddOkRow(const char* name, std::function<void()> onClick, const char* caption) {
    auto* h = new QHBoxLayout;
    h->addStretch();
    h->addWidget(AddButton(name, caption, this, std::move(onClick)));
    Rows()->addLayout(h);
}

// ---------------------------------------------------------------------------------------------------------
// Keys, focus and the frame's pop-up

void ConsolePanelFrame::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        host_.PopUpPanelMenu(event->globalPosition().toPoint());
        event->accept();
        return;
    }
    QGroupBox::mouseReleaseEvent(event);
}

bool ConsolePanelFrame::eventFilter(QObject* watched, QEvent* event) {
    auto field = fields_.end();
    for (auto it = fields_.begin(); it != fields_.end(); ++it) {
        if (it->second == watched) field = it;
    }
    if (event->type() == QEvent::ShortcutOverride && field != fields_.end()) {
        // In a field the standard editing keys belong to the field: Ctrl+Z must undo the typing, not ask the
        // processor for its factory data, and Ctrl+A select the text rather than replace the panel. Every
        // other menu key wins over the field, as the menus promise.
        auto* key = static_cast<QKeyEvent*>(event);
        for (QKeySequence::StandardKey editing : {QKeySequence::Undo, QKeySequence::Redo, QKeySequence::SelectAll,
                                                  QKeySequence::Cut, QKeySequence::Copy, QKeySequence::Paste}) {
            if (key->matches(editing)) {
                event->accept();
                return true;
            }
        }
        if (host_.IsMenuShortcut(QKeySequence(key->keyCombination()))) {
            event->ignore();
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat()) {
            // Enter acts when it is let go, and only when it went down in this same field or on this same
            // button: the Enter that closes a message box is let go over the field or button below it and
            // must not send again (and bring the same box back).
            if (field != fields_.end()) {
                QLineEdit* edit = field->second;
                // Only the panel on show acts: a key that reaches a field of a hidden panel is dropped.
                if (!edit->isVisibleTo(window())) return true;
                if (event->type() == QEvent::KeyPress) {
                    enterDownIn_ = edit;
                    return QGroupBox::eventFilter(watched, event);
                }
                if (enterDownIn_ == edit) {
                    enterDownIn_ = nullptr;
                    OnFieldEnter(field->first);
                }
                return true;
            }
            // A focused panel button takes Enter as it takes Space: auto-advance leaves the focus on the OK
            // button, and Enter is the key the operator reaches for there.
            for (const auto& [name, button] : buttons_) {
                if (watched != button) continue;
                if (!button->isVisibleTo(window())) return true;
                if (event->type() == QEvent::KeyPress) {
                    enterDownIn_ = button;
                } else if (enterDownIn_ == button) {
                    enterDownIn_ = nullptr;
                    button->click();
                }
                return true;
            }
        }
    }
    if (event->type() == QEvent::FocusIn && field != fields_.end()) {
        // A field the focus moves into has its text selected, so that what the operator types replaces an
        // old value instead of running on behind it. Coming back to the window leaves the field as it was.
        QLineEdit* edit = field->second;
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason == Qt::MouseFocusReason) {
            // The click itself places the cursor after this event; the selection follows it.
            QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
        } else if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            edit->selectAll();
        }
    }
    return QGroupBox::eventFilter(watched, event);
}

void ConsolePanelFrame::FocusField(ConsoleField field) {
    QLineEdit* edit = Field(field);
    if (edit == nullptr) return;
    edit->setFocus(Qt::OtherFocusReason);
    // A field that had the focus already gets no focus event.
    edit->selectAll();
}

void ConsolePanelFrame::FocusButton(const char* name) {
    if (QPushButton* b = Button(name)) b->setFocus(Qt::OtherFocusReason);
}

void ConsolePanelFrame::OnFieldEdited(ConsoleField field) {
    const FieldRow& row = RowOf(field);
    if (row.fillLength == 0) return;
    if (GbkByteLength(FieldText(field)) != row.fillLength) return;
    if (row.whenFull.button) {
        FocusButton(row.whenFull.button);
    } else if (row.whenFull.field) {
        FocusField(*row.whenFull.field);
    }
}

void ConsolePanelFrame::OnFieldEnter(ConsoleField field) {
    const FocusTarget& to = RowOf(field).onEnter;
    if (to.button) {
        if (QPushButton* b = Button(to.button); b && b->isVisibleTo(window())) Q_EMIT b->clicked();
    } else if (to.field) {
        FocusField(*to.field);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Reading and answering

std::string ConsolePanelFrame::FieldText(ConsoleField field) const { return Field(field)->text().toStdString(); }

DateInput ConsolePanelFrame::ReadDate(const ConsoleDateFields& date) const {
    return DateInput{FieldText(date.year), FieldText(date.month), FieldText(date.day)};
}

void ConsolePanelFrame::ApplyResult(const IssueResult& r, const std::map<InputField, ConsoleField>& fields) {
    host_.ShowIssueOutcome(r);
    for (const auto& [input, field] : fields) {
        if (r.Clears(input)) Field(field)->clear();
    }
    if (r.focus != InputField::None) {
        auto it = fields.find(r.focus);
        if (it != fields.end()) FocusField(it->second);
    }
}

std::map<InputField, ConsoleField> ConsolePanelFrame::DateInputs(const ConsoleDateFields& start) {
    return {
        {InputField::StartYear, start.year}, {InputField::StartMonth, start.month}, {InputField::StartDay, start.day}};
}

std::map<InputField, ConsoleField> ConsolePanelFrame::DateRangeInputs(const ConsoleDateFields& start,
                                                                      const ConsoleDateFields& end) {
    auto fields = DateInputs(start);
    fields.insert({{InputField::EndYear, end.year}, {InputField::EndMonth, end.month}, {InputField::EndDay, end.day}});
    return fields;
}

std::map<InputField, ConsoleField> ConsolePanelFrame::RangeInputs(ConsoleField startNumber, ConsoleField endNumber,
                                                                  const ConsoleDateFields& start,
                                                                  const ConsoleDateFields& end) {
    auto fields = DateRangeInputs(start, end);
    fields.insert({{InputField::StartNumber, startNumber}, {InputField::EndNumber, endNumber}});
    return fields;
}

void ConsolePanelFrame::EnableRangeHalf(bool byNumber, const RangeHalves& halves) {
    for (QWidget* w : halves.numberCaptions) w->setEnabled(byNumber);
    for (ConsoleField f : {halves.startNumber, halves.endNumber}) Field(f)->setEnabled(byNumber);
    for (QWidget* w : halves.dateCaptions) w->setEnabled(!byNumber);
    for (const ConsoleDateFields& d : {halves.start, halves.end}) {
        for (ConsoleField f : {d.year, d.month, d.day}) Field(f)->setEnabled(!byNumber);
    }
    FocusField(byNumber ? halves.startNumber : halves.start.year);
}

}  // namespace karvex
