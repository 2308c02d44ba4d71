#include "app/TemplateDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <algorithm>

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

namespace {

// Pixel size of a font of this many points on this screen: 12 for 9 points at 96 dpi.
int PointsToPixels(int pointSize) {
    QFont font;
    font.setPointSize(pointSize);
    return QFontInfo(font).pixelSize();
}

constexpr int kSystemFontPoints = 12;  // the System raster font's one size: 16 pixels at 96 dpi

}  // namespace

DialogFont DialogFontFor(const char* faceName, int pointSize) {
    const QString face = QString::fromUtf8(faceName);
    QFont font;
    font.setPointSize(pointSize);
    if (face == QStringLiteral("宋体") || face == QStringLiteral("SimSun")) {
        font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei Mono"),
                          QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("DejaVu Sans")});
        const int em = PointsToPixels(pointSize);
        return {font, {(em + 1) / 2, em}};
    }
    if (face == QStringLiteral("System")) {
        font.setFamilies({QStringLiteral("WenQuanYi Zen Hei Sharp"),
                          QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("DejaVu Sans")});
        const int cell = PointsToPixels(kSystemFontPoints);
        return {font, {(cell + 1) / 2, cell}};
    }
    font.setFamilies({face, QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("DejaVu Sans")});
    return {font, BaseUnitsForFont(font)};
}

namespace {

// A style drawing group boxes with the caption on an etched frame line, shared by all; null
// where Qt has no such style (the group box then keeps the application's style).
QStyle* ClassicGroupBoxStyle() {
    static QStyle* const style = [] {
        QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"));
        if (classic) classic->setParent(qApp);
        return classic;
    }();
    return style;
}

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
            // A static edge: one line, dark above and left, light below and right.
            if (c.styles & kSunken) {
                label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                label->setLineWidth(1);
            }
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
        case ControlKind::GroupBox: {
            // The caption sits on the frame's top line, half a text line below the
            // template's top edge, so that controls placed just below the caption are inside.
            auto* group = new QGroupBox(caption, parent);
            if (QStyle* classic = ClassicGroupBoxStyle()) group->setStyle(classic);
            return group;
        }
    }
    return nullptr;
}

}  // namespace

TemplateDialog::TemplateDialog(const DialogTemplate& t, QWidget* parent)
    : TemplateDialog(t, DialogFontFor(t.fontFace, t.pointSize), parent) {}

TemplateDialog::TemplateDialog(const DialogTemplate& t, const DialogFont& dialogFont,
                               QWidget* parent)
    : QDialog(parent), baseUnits_(dialogFont.units) {
    setFont(dialogFont.font);
    setWindowTitle(QString::fromUtf8(t.title));
    setFixedSize(baseUnits_.ToPixelsX(t.width), baseUnits_.ToPixelsY(t.height));
    // A modal frame with a caption and a close box; no minimise, maximise or help buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    const int lineHeight = QFontMetrics(dialogFont.font).height();
    QWidget* previous = nullptr;
    for (const ControlTemplate& c : t.controls) {
        QWidget* w = CreateControl(c, this);
        w->setObjectName(QString::fromLatin1(c.name));
        int height = baseUnits_.ToPixelsY(c.height);
        // A combo box's template height includes its dropped list; the closed box is one line.
        if (c.kind == ControlKind::ComboBox) height = w->sizeHint().height();
        // A stand-in font may have a taller line than the face named; a static text keeps
        // at least one whole line so that no caption loses its lower edge.
        if (c.kind == ControlKind::StaticText) height = std::max(height, lineHeight);
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
    // Screen readers name each control by the label beside it (a count is read out as the
    // number it shows: a label's own text is its accessible name).
    for (const LabelFor& pair : t.labels)
        findChild<QLabel*>(QString::fromLatin1(pair.label))->setBuddy(Control(pair.control));
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
