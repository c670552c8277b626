#pragma once
// The switch group of the main window: the bypass, output and maintenance
// switches (on or off) and the two supply fields of the selected device.

#include <QGroupBox>

#include <array>

class QLabel;

namespace tessaro {

struct TUpsInfo;

class TSwitchPanel : public QGroupBox {
  Q_OBJECT

 public:
  explicit TSwitchPanel(QWidget* parent);

  void ApplyLanguage(int language);
  void HideSwitchRows();
  void ShowSwitches(const TUpsInfo& r, int language);

  // Row 0..5: input, bypass, output and maintenance switch, input and UPS supply.
  QLabel* RowLabel(int row) const { return Label[static_cast<size_t>(row)]; }
  // Switch 0..3 of the rows above: its "on" and "off" words.
  QLabel* OnLabel(int row) const { return stOn[static_cast<size_t>(row)]; }
  QLabel* OffLabel(int row) const { return stOff[static_cast<size_t>(row)]; }

 private:
  std::array<QLabel*, 6> Label{};  // Label1..Label6
  std::array<QLabel*, 4> stOn{};
  std::array<QLabel*, 4> stOff{};
  std::array<QLabel*, 4> SwitchSlash{};
  QLabel* stInputPowerSupply;
  QLabel* stUpsPowerSupply;
};

}  // namespace tessaro
