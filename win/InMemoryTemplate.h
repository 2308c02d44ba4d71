// A dialog template in memory (DLGTEMPLATE followed by its DLGITEMTEMPLATEs) built from one of
// res/DialogTemplates' tables, so that this window and the Qt one are drawn from the same data:
// dialog units, control identifiers, styles, font. A label named in the table's labels comes
// just before the control it names, so that screen readers take it for that control's name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "res/DialogTemplates.h"

class InMemoryTemplate {
  public:
    // iconId: the icon resource an icon control shows. windowStyle: added to the frame's.
    InMemoryTemplate(const DialogTemplate& dialogTemplate, int iconId, DWORD windowStyle = 0,
                     DWORD extendedStyle = 0);

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

  private:
    void Add(std::uint16_t word) { words_.push_back(word); }
    void AddDword(DWORD value);
    void AddText(std::string_view utf8);  // zero-terminated UTF-16
    void AlignToDword();
    void AddControl(const ControlTemplate& control, int iconId);

    std::vector<std::uint16_t> words_;
};
