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

// How a template's font is drawn on this system, and the dialog units it gives.
struct DialogFont {
    QFont font;             // the face named, or the closest installed stand-in
    DialogBaseUnits units;  // the units of the face named, so the window keeps its proportions
};

// The dialog font for a template's face and point size:
// - "宋体" (SimSun) has Latin letters exactly half an em wide and a cell one em high, so its
//   units are (em / 2, em): 6 x 12 pixels at 9 points and 96 dpi. Where SimSun is missing,
//   "WenQuanYi Zen Hei Mono" stands in: its Latin letters are half an em wide as well, so
//   texts take the widths (and wrap where) the template was drawn for.
// - "System" is a raster font of one size whatever the template asks: a 16-pixel cell (12
//   points) with 8-pixel half-width letters, so its units are 8 x 16 at 96 dpi. Its text is
//   drawn in "WenQuanYi Zen Hei Sharp", whose small sizes are crisp bitmaps as the System
//   font's are, at the template's point size: every caption then stays inside its control.
// - Any other face is measured as it is, falling back to a CJK sans face.
DialogFont DialogFontFor(const char* face, int pointSize);

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
    TemplateDialog(const DialogTemplate& dialogTemplate, const DialogFont& dialogFont,
                   QWidget* parent);

    std::map<int, QWidget*> controls_;
    DialogBaseUnits baseUnits_;
};
