#pragma once
// The left pane of the main window: the device buttons, the device tree with
// one node per device and its page nodes, and the debug lines under it. It
// keeps which device is selected; the icons and captions come from the
// library's tree look.

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tessaro {

class TContext;

// Captions of the child nodes under every device node.
struct TNodeCaptionRec {
  std::array<QString, 10> Captions;
  int32_t CaptionCount = 2;
};

class TDeviceTreePane : public QWidget {
  Q_OBJECT

 public:
  TDeviceTreePane(TContext& context, QWidget* parent);

  void ApplyLanguage();
  void RebuildTree();
  // Icons and captions of every device node; returns the list position of
  // the selected device (0: none).
  int RefreshNodes(bool portOpen);
  void TreeView1Click();
  void SetDebugShown(bool shown);
  void FillDebugEdits(int overlayPosition);

  uint8_t SelDevAddr() const { return FSelDevAddr; }
  int32_t IdxSelNode() const { return FidxSelNode; }
  int32_t IdxSelItem() const { return FidxSelItem; }
  const TNodeCaptionRec& NodeCaption() const { return FNodeCaption; }
  bool HasCurrent() const;

  QTreeWidget* Tree() const { return TreeView1; }
  QPushButton* SearchButton() const { return btnSearch; }
  QPushButton* NewButton() const { return btnNew; }
  QPushButton* DeleteButton() const { return btnDelete; }
  QPushButton* PropertyButton() const { return btnProperty; }

  // The tree icon index a node shows (0..3).
  static int NodeIcon(const QTreeWidgetItem* item);
  static int AbsoluteIndex(const QTreeWidgetItem* item);
  // The device node item of the tree node at absolute index, or nullptr.
  QTreeWidgetItem* NodeAt(int absoluteIndex) const;

 signals:
  // The operator chose a node: 0 the real-time page, 1 the graphs.
  void PageChosen(int page);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void RefreshNode(int k, bool portOpen);
  void KeepHighlightOnCurrent();

  TContext& FCtx;
  TNodeCaptionRec FNodeCaption;
  int32_t FidxSelNode = 0;
  int32_t FidxSelItem = 0;
  uint8_t FSelDevAddr = 0;

  QPushButton* btnSearch;
  QPushButton* btnNew;
  QPushButton* btnDelete;
  QPushButton* btnProperty;
  QTreeWidget* TreeView1;
  QLineEdit* edtTreeData;
  QLineEdit* edtArrEq;
  QLineEdit* edtNode;
};

}  // namespace tessaro
