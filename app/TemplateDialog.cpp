#include "app/TemplateDialog.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

DialogBaseUnits BaseUnitsForFont(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

int ComboSelection(const QComboBox* combo) {
    const int index = combo->currentIndex();
    if (index < 0 || combo->currentText() != combo->itemText(index)) return -1;
    return index;
}

QFont DialogFont(const char* face, int pointSize) {
    QFont font;
    QStringList families{QString::fromUtf8(face)};
    // Installed stand-ins, closest first.
    families << QStringLiteral("SimSun") << QStringLiteral("WenQuanYi Zen Hei")
             << QStringLiteral("WenQuanYi Micro Hei") << QStringLiteral("Noto Sans CJK SC")
             << QStringLiteral("AR PL UMing CN") << QStringLiteral("DejaVu Sans");
    font.setFamilies(families);
    font.setPointSize(pointSize);
    return font;
}

namespace {

QWidget* CreateControl(const ControlTemplate& c, QWidget* parent) {
    const QString caption = QString::fromUtf8(c.caption);
    switch (c.kind) {
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(caption, parent);
            edit->setFrame((c.styles & kBorder) != 0);
            return edit;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            return bar;
        }
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            auto* button = new QPushButton(caption, parent);
            button->setAutoDefault(false);
            button->setDefault(c.kind == ControlKind::DefaultPushButton);
            return button;
        }
        case ControlKind::StaticText: {
            auto* label = new QLabel(parent);
            label->setTextFormat(Qt::PlainText);
            label->setText(caption);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(true);
            if (c.styles & kSunken) label->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
            return label;
        }
        case ControlKind::StaticIcon: {
            auto* label = new QLabel(parent);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return label;
        }
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(parent);
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);  // typing never adds entries
            return combo;
        }
        case ControlKind::GroupBox:
            return new QGroupBox(caption, parent);
    }
    return nullptr;
}

}  // namespace

TemplateDialog::TemplateDialog(const DialogTemplate& t, QWidget* parent)
    : QDialog(parent), baseUnits_(BaseUnitsForFont(DialogFont(t.fontFace, t.pointSize))) {
    setFont(DialogFont(t.fontFace, t.pointSize));
    setWindowTitle(QString::fromUtf8(t.title));
    setFixedSize(baseUnits_.ToPixelsX(t.width), baseUnits_.ToPixelsY(t.height));
    // A modal frame with a caption and a close box; no minimise, maximise or help buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QWidget* previous = nullptr;
    for (const ControlTemplate& c : t.controls) {
        QWidget* w = CreateControl(c, this);
        w->setObjectName(QString::fromLatin1(c.name));
        int height = baseUnits_.ToPixelsY(c.height);
        // A combo box's template height includes its dropped list; the closed box is one line.
        if (c.kind == ControlKind::ComboBox) height = w->sizeHint().height();
        w->setGeometry(baseUnits_.ToPixelsX(c.x), baseUnits_.ToPixelsY(c.y),
                       baseUnits_.ToPixelsX(c.width), height);
        const bool tabStop = (c.styles & kTabStop) != 0;
        w->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (tabStop) {
            if (previous) setTabOrder(previous, w);
            previous = w;
        }
        if (!controls_.count(c.id)) controls_[c.id] = w;
    }
    // Group boxes are drawn behind the controls placed inside them.
    for (auto* group : findChildren<QGroupBox*>()) group->lower();
}

QWidget* TemplateDialog::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}
