#pragma once
// The Data tab of the main window: the input and output voltage gauges, the
// load bars and the value boxes of the selected device.

#include <QString>
#include <QWidget>

#include <array>

class QLabel;

namespace tessaro {

class TAngularGauge;
class TLedBar;
class TValueBox;
class TValueText;
struct TProtocolTraits;
struct TUpsInfo;

// Fixed-point with at most 5 significant digits, as the displays show values.
QString FormatFixed(double value, int decimals);

class TLiveValuesPanel : public QWidget {
  Q_OBJECT

 public:
  explicit TLiveValuesPanel(QWidget* parent);

  void ApplyLanguage(int language);
  // A protocol that reports no battery capacity has no box for it.
  void ApplyProtocol(const TProtocolTraits& traits);
  void HideBackupBox();
  void ShowInputs(const TUpsInfo& r);
  void ShowOutputs(const TUpsInfo& r);
  // Values that are no longer current are greyed, with `note` (when the
  // device last answered) above them; an empty note shows them live.
  void ShowStale(const QString& note);
  QLabel* StaleNote() const { return lblStale; }

  TAngularGauge* InputGauge(int phase) const { return iAGInPutV[phase]; }
  TAngularGauge* OutputGauge(int phase) const { return iAGOutPutV[phase]; }
  TValueText* InputText(int phase) const { return stInputV[phase]; }
  TValueText* OutputText(int phase) const { return stOutputV[phase]; }
  TValueText* LoadText(int phase) const { return stLoadPer[phase]; }
  QLabel* OutputCaption(int phase) const { return lbOutput[phase]; }
  TLedBar* LoadBar(int phase) const { return iLedBar[phase]; }

 private:
  std::array<QLabel*, 3> lbInput{};
  std::array<QLabel*, 3> lbOutput{};
  std::array<TValueText*, 3> stInputV{};
  std::array<TValueText*, 3> stOutputV{};
  std::array<TAngularGauge*, 3> iAGInPutV{};
  std::array<TAngularGauge*, 3> iAGOutPutV{};
  QLabel* bsSkinLabel6;
  std::array<QLabel*, 3> bsSkinStdLabel{};
  std::array<TLedBar*, 3> iLedBar{};
  std::array<TValueText*, 3> stLoadPer{};
  TValueBox* AdvPanel4;  // DC input voltage
  TValueBox* AdvPanel1;  // output frequency
  TValueBox* AdvPanel9;  // battery backup time
  TValueBox* AdvPanel6;  // battery capacity
  QLabel* lblStale;
};

}  // namespace tessaro
