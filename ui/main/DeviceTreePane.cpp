#include "ui/main/DeviceTreePane.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "core/DeviceState.h"
#include "engine/Context.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/widgets/Artwork.h"

namespace tessaro {

namespace {

constexpr int IconRole = Qt::UserRole + 1;
constexpr int AbsIndexRole = Qt::UserRole + 2;

// A tree with columns sized to their contents measures every node again
// whenever one changes: nodes are only touched when what they show changes.
void SetNodeIcon(QTreeWidgetItem* item, TTreeIcon icon) {
  const int index = static_cast<int>(icon);
  const QVariant shown = item->data(0, IconRole);
  if (shown.isValid() && shown.toInt() == index) return;
  item->setIcon(0, TreeIcon(index));
  item->setData(0, IconRole, index);
}

void SetNodeText(QTreeWidgetItem* item, const QString& text) {
  if (item->text(0) != text) item->setText(0, text);
}

void SetShown(QWidget* w, bool shown) {
  if (w->isHidden() == shown) w->setVisible(shown);
}

}  // namespace

TDeviceTreePane::TDeviceTreePane(TContext& context, QWidget* parent) : QWidget(parent), FCtx(context) {
  setObjectName(QStringLiteral("pnlLeft"));
  setAttribute(Qt::WA_StyledBackground);
  setFixedWidth(230);
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(6, 6, 6, 6);
  v->setSpacing(4);
  auto* grid = new QGridLayout;
  grid->setSpacing(4);
  btnSearch = new QPushButton(this);
  btnNew = new QPushButton(this);
  btnDelete = new QPushButton(this);
  btnProperty = new QPushButton(this);
  btnSearch->setObjectName(QStringLiteral("btnSearch"));
  btnNew->setObjectName(QStringLiteral("btnNew"));
  btnDelete->setObjectName(QStringLiteral("btnDelete"));
  btnProperty->setObjectName(QStringLiteral("btnProperty"));
  grid->addWidget(btnSearch, 0, 0);
  grid->addWidget(btnNew, 0, 1);
  grid->addWidget(btnDelete, 1, 0);
  grid->addWidget(btnProperty, 1, 1);
  v->addLayout(grid);

  TreeView1 = new QTreeWidget(this);
  TreeView1->setObjectName(QStringLiteral("TreeView1"));
  TreeView1->setHeaderHidden(true);
  TreeView1->setColumnCount(1);
  TreeView1->setIndentation(19);
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  TreeView1->setIconSize(QSize(16, 16));
  TreeView1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  TreeView1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  TreeView1->header()->setStretchLastSection(false);
  TreeView1->viewport()->installEventFilter(this);
  // The highlighted node is the selected device, however the highlight moves
  // (any mouse button, the keyboard, a keyboard search).
  connect(TreeView1, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (current) TreeView1Click();
  });
  connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, &TDeviceTreePane::KeepHighlightOnCurrent);
  v->addWidget(TreeView1, 1);

  edtTreeData = new QLineEdit(this);
  edtArrEq = new QLineEdit(this);
  edtNode = new QLineEdit(this);
  for (QLineEdit* e : {edtTreeData, edtArrEq, edtNode}) {
    e->setReadOnly(true);
    e->setStyleSheet(QStringLiteral("font-family: monospace; font-size: 10px;"));
    v->addWidget(e);
  }
  edtTreeData->setObjectName(QStringLiteral("edtTreeData"));
  edtArrEq->setObjectName(QStringLiteral("edtArrEq"));
  edtNode->setObjectName(QStringLiteral("edtNode"));
}

void TDeviceTreePane::ApplyLanguage() {
  const int language = FCtx.Settings.Language;
  FNodeCaption.Captions[0] = LangText(TTextId::NodeRealTime, language);
  FNodeCaption.Captions[1] = LangText(TTextId::NodeGraph, language);
  FNodeCaption.CaptionCount = 2;
  RebuildTree();
  btnSearch->setText(LangText(TTextId::BtnSearch, language));
  btnSearch->setToolTip(LangText(TTextId::BtnSearchHint, language));
  btnNew->setText(LangText(TTextId::BtnNew, language));
  btnNew->setToolTip(LangText(TTextId::BtnNewHint, language));
  btnDelete->setText(LangText(TTextId::BtnDelete, language));
  btnDelete->setToolTip(LangText(TTextId::BtnDeleteHint, language));
  btnProperty->setText(LangText(TTextId::BtnProperty, language));
  btnProperty->setToolTip(LangText(TTextId::BtnPropertyHint, language));
}

bool TDeviceTreePane::HasCurrent() const { return TreeView1->currentItem() != nullptr; }

int TDeviceTreePane::NodeIcon(const QTreeWidgetItem* item) { return item ? item->data(0, IconRole).toInt() : -1; }

int TDeviceTreePane::AbsoluteIndex(const QTreeWidgetItem* item) {
  return item ? item->data(0, AbsIndexRole).toInt() : -1;
}

QTreeWidgetItem* TDeviceTreePane::NodeAt(int absoluteIndex) const {
  const int perDevice = 1 + FNodeCaption.CaptionCount;
  if (absoluteIndex < 0) return nullptr;
  QTreeWidgetItem* device = TreeView1->topLevelItem(absoluteIndex / perDevice);
  if (!device) return nullptr;
  const int child = absoluteIndex % perDevice;
  return child == 0 ? device : device->child(child - 1);
}

void TDeviceTreePane::RebuildTree() {
  TDeviceList& list = FCtx.DeviceList;
  const QSignalBlocker programmatic(TreeView1);  // a rebuild is not a click
  TreeView1->clear();
  int absolute = 0;
  for (int k = 1; k <= list.Count; ++k) {
    TDeviceNode& entry = list.Nodes[k];
    auto* node = new QTreeWidgetItem(TreeView1);
    node->setText(0, ShownDeviceName(entry.Name));
    SetNodeIcon(node, TTreeIcon::Lost);
    node->setData(0, AbsIndexRole, absolute);
    // The list file keeps one byte; the tree itself works with the full index.
    entry.NodeIndex = static_cast<uint8_t>(absolute);
    ++absolute;
    for (int c = 0; c < FNodeCaption.CaptionCount; ++c) {
      auto* child = new QTreeWidgetItem(node);
      child->setText(0, FNodeCaption.Captions[c]);
      SetNodeIcon(child, TTreeIcon::Page);
      child->setData(0, AbsIndexRole, absolute++);
    }
    node->setExpanded(false);
  }
  if (list.Count == 0) {
    FidxSelItem = 0;
    FSelDevAddr = 0;
    FidxSelNode = -1;
    return;
  }
  if (FidxSelItem <= 0) FidxSelItem = 1;
  if (FidxSelItem > list.Count) FidxSelItem = list.Count;
  FSelDevAddr = list.Nodes[FidxSelItem].Address;
  QTreeWidgetItem* selected = TreeView1->topLevelItem(FidxSelItem - 1);
  FidxSelNode = AbsoluteIndex(selected);
  TreeView1->setCurrentItem(selected);
}

void TDeviceTreePane::KeepHighlightOnCurrent() {
  QTreeWidgetItem* current = TreeView1->currentItem();
  const QList<QTreeWidgetItem*> selection = TreeView1->selectedItems();
  if (selection.isEmpty()) {
    // Ctrl+click or Ctrl+Space would leave the device selected without a highlight.
    if (current) current->setSelected(true);
  } else if (selection.front() != current) {
    TreeView1->setCurrentItem(selection.front());
  }
}

void TDeviceTreePane::TreeView1Click() {
  QTreeWidgetItem* item = TreeView1->currentItem();
  if (!item) return;
  FidxSelNode = AbsoluteIndex(item);
  QTreeWidgetItem* device = item->parent() ? item->parent() : item;
  const int position = TreeView1->indexOfTopLevelItem(device) + 1;
  if (position >= 1 && position <= FCtx.DeviceList.Count) {
    FidxSelItem = position;
    FSelDevAddr = FCtx.DeviceList.Nodes[position].Address;
  } else {
    FidxSelItem = 0;
    FSelDevAddr = 0;
  }
  const bool graphChild = item->parent() && item->parent()->indexOfChild(item) == 1;
  emit PageChosen(graphChild ? 1 : 0);
}

bool TDeviceTreePane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TreeView1->viewport()) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
      auto* me = static_cast<QMouseEvent*>(event);
      // A click on an empty area keeps the selection (and re-enters its page).
      if (!TreeView1->itemAt(me->position().toPoint())) return true;
    } else if (event->type() == QEvent::MouseButtonRelease) {
      auto* me = static_cast<QMouseEvent*>(event);
      if (me->button() == Qt::LeftButton) {
        // After the view has moved the selection to the clicked node
        QMetaObject::invokeMethod(this, &TDeviceTreePane::TreeView1Click, Qt::QueuedConnection);
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TDeviceTreePane::RefreshNode(int k, bool portOpen) {
  const TDeviceNode& entry = FCtx.DeviceList.Nodes[k];
  QTreeWidgetItem* node = TreeView1->topLevelItem(k - 1);
  if (!node || entry.Address == 0) return;
  const TTreeLook look = TreeLook(FCtx.UpsInfo[entry.Address], portOpen, FCtx.Settings.Language);
  const QString name = ShownDeviceName(entry.Name);
  SetNodeIcon(node, look.Icon);
  SetNodeText(node, !look.Bracketed
                        ? name
                        : name + QStringLiteral("  (") + QString::fromStdString(look.Caption) + QLatin1Char(')'));
}

int TDeviceTreePane::RefreshNodes(bool portOpen) {
  int overlay = 0;
  for (int k = 1; k <= FCtx.DeviceList.Count; ++k) {
    RefreshNode(k, portOpen);
    if (FCtx.DeviceList.Nodes[k].Address == FSelDevAddr) overlay = k;
  }
  return overlay;
}

void TDeviceTreePane::SetDebugShown(bool shown) {
  for (QWidget* w : std::initializer_list<QWidget*>{edtTreeData, edtArrEq, edtNode}) SetShown(w, shown);
}

void TDeviceTreePane::FillDebugEdits(int overlayPosition) {
  const TDeviceList& list = FCtx.DeviceList;
  QString first = QStringLiteral("Items:") + QString::number(overlayPosition);
  if (overlayPosition >= 1 && overlayPosition <= list.Count) {
    const TDeviceNode& e = list.Nodes[overlayPosition];
    first += QStringLiteral(" Name:") + FullDeviceName(e.Name) + QStringLiteral(" Addr:") +
             QString::number(e.Address) + QStringLiteral(" Node:") + QString::number(e.NodeIndex);
  }
  edtTreeData->setText(first);
  const QList<QTreeWidgetItem*> selection = TreeView1->selectedItems();
  edtArrEq->setText(QStringLiteral("Select:") + QString::number(FSelDevAddr) + QStringLiteral(" Addr:") +
                    QString::number(FCtx.UpsInfo[FSelDevAddr].Address) +
                    (selection.isEmpty() ? QStringLiteral(" SelNode: -1")
                                         : QStringLiteral(" SelNode:") + QString::number(AbsoluteIndex(selection.front()))));
  edtNode->setText(QStringLiteral("FidxSelNode=") + QString::number(FidxSelNode) + QStringLiteral("FSelDevAddr=") +
                   QString::number(FSelDevAddr));
}

}  // namespace tessaro
