#pragma once
// The Sketch Map tab of the main window: the animated diagram of the state
// shown, the battery branch's flow over it, the state's caption and the raw
// status and alarm words.

#include <QWidget>

#include <array>
#include <cstdint>

class QGroupBox;
class QLabel;

namespace tessaro {

class TFlowPipe;
class TUpsDiagram;
struct TProtocolTraits;
struct TUpsInfo;

class TSketchPanel : public QWidget {
  Q_OBJECT

 public:
  explicit TSketchPanel(QWidget* parent);

  // The device's own state: its picture, caption and status words.
  void ShowStatus(const TUpsInfo& r, int language, const TProtocolTraits& traits);
  // What the sketch shows, the link included, and the battery branch.
  void ShowSketch(const TUpsInfo& r, int language, const TProtocolTraits& traits);
  void SetDebugShown(bool shown);

  int ShownState() const { return FSketchState; }
  // The index (TSketchPicture) of the visible diagram, -1 when none is.
  int VisiblePicture() const;
  TUpsDiagram* Diagram(int picture) const { return GIFs[static_cast<size_t>(picture)]; }
  TFlowPipe* Pipe() const { return PipCharge; }

 private:
  void SetPicture(int32_t stateCode);

  int FSketchState = 0;
  QLabel* stComStatus;
  // GIFStandbyMode, GIFOnlineMode, GIFBypassMode, GIFBattMode,
  // GIFEconomyMode, GIFTestMode, GIFFaltMode
  std::array<TUpsDiagram*, 7> GIFs{};
  TFlowPipe* PipCharge;
  QGroupBox* grpCode;
  QLabel* lblCMMState;
  QLabel* lblINVState;
  QLabel* lblCMMAlarm;
  QLabel* lblINVAlarm;
  QLabel* lbSysState;
  QLabel* lbSysAlarm;
  QLabel* lblUpsState;
};

}  // namespace tessaro
