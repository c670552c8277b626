#pragma once
// Group boxes wide enough for their titles as drawn.

class QWidget;

namespace tessaro {

// Makes every group box under root wide enough for its title as the style
// draws it (in bold, after its indent); call after the titles change. A box
// measures its title in the regular weight and style sheets leave the indent
// out, so a narrow box cut its title off.
void FitGroupTitles(QWidget* root);

}  // namespace tessaro
