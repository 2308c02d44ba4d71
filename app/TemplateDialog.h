// A dialog built from a template: controls placed in dialog units, converted to pixels with
// the dialog font's base units, captions as in the template, tab order as the template's.
#pragma once

#include <QDialog>
#include <QFont>
#include <map>

#include "res/DialogTemplates.h"

// Pixel size of dialog units for a font: horizontally the average width of the 52 letters
// a-z and A-Z divided by 4, vertically the font's height divided by 8.
struct DialogBaseUnits {
    int baseX = 0;  // average letter width in pixels
    int baseY = 0;  // font height in pixels
    int ToPixelsX(int units) const { return (units * baseX + 2) / 4; }
    int ToPixelsY(int units) const { return (units * baseY + 4) / 8; }
};
DialogBaseUnits BaseUnitsForFont(const QFont& font);

// The font a template names, falling back to the closest installed one: "宋体" to a CJK
// serif or sans face, "System" to a plain sans face that carries CJK characters.
QFont DialogFont(const char* face, int pointSize);

class QComboBox;

// The position of a combo box's selected entry, or -1 when there is none: also when text
// typed into its edit field no longer matches the entry.
int ComboSelection(const QComboBox* combo);

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    TemplateDialog(const DialogTemplate& dialogTemplate, QWidget* parent);

    // The control with this id (the first one for IDC_STATIC), or null.
    QWidget* Control(int id) const;
    template <typename T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }
    const DialogBaseUnits& BaseUnits() const { return baseUnits_; }

protected:
    // Enter on a focused push button clicks it; Enter anywhere else accepts the dialog, as a
    // dialog with no default button does. Subclasses may take Enter first.
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::map<int, QWidget*> controls_;
    DialogBaseUnits baseUnits_;
};
