#include "ui/main/FrmEquipSearch.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <system_error>
#include <vector>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

namespace {

enum TText {
  Title, Group1, Group2, From, To, Searched, NameEdit, Existed, Clear, Append, Search, Stop, Completed, CloseRefused,
  AlreadyConfigured, AlreadyInGrid, NameMissing, NothingToAppend, ListFull, SaveFailed, AddrHeader,
  NameHeader, SelectOneHint, SelectAllHint, NameByAddress,
};

struct TTextPair {
  const char* Zh;
  const char* En;
};

// Indexed by TText.
constexpr TTextPair Texts[] = {
    {"设备搜索", "Search Equipment"},
    {"搜索网络上的设备", "Search Equipment on network"},
    {"搜索地址范围", "Range of Searched Address "},
    {"从", "From"},
    {"到", "To"},
    {"已搜索到", "Searched:"},
    {"编辑新设备名称", "Name Edit"},
    {"已有地址", "Existed"},
    {"清除", "Clear"},
    {"添加", "Append"},
    {"搜索", "Search"},
    {"停止", "Stop"},
    {"搜索完毕!", "Search Completed !"},
    {"请先停止搜索再关闭窗口!", "Please stop search before close this forms !"},
    {"系统已有该地址!", "This address is already exists !"},
    {"该地址你已添加到列表,无需再添加!", "You had appended this address to the list,not to append again"},
    {"请填写设备名后再添加", "Please set Equipment name for every Equipment in the list before append !"},
    {"列表中没有可以添加的设备!", "There are no equipment that can be appended"},
    {"设备列表最多252台设备,请减少列表中的设备后再添加",
     "The equipment list holds at most 252 equipments; remove rows from the list before append"},
    {"设备列表保存失败:", "The equipment list could not be saved:"},
    {"地址", "Addr"},
    {"设备名", "Name"},
    {"只选择被选中项", "Only the selected item"},
    {"全部选择", "Select all"},
    {"以地址作为设备名", "Save name By address"},
};

// A list item or cell as a number; `otherwise` when it is not one.
int NumberOr(const QString& text, int otherwise) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok);
  return ok ? value : otherwise;
}

}  // namespace

TFrmEquipSearch::TFrmEquipSearch(TContext& context, TPollEngine& engine, QWidget* parent)
    : QDialog(parent), FCtx(context), FEngine(engine) {
  setObjectName(QStringLiteral("FrmEquipSearch"));
  setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(592, 463);

  GroupBox1 = new QGroupBox(this);
  GroupBox2 = new QGroupBox(GroupBox1);
  Label2 = new QLabel(GroupBox2);
  Label3 = new QLabel(GroupBox2);
  seAddrS = new QSpinBox(GroupBox2);
  seAddrS->setObjectName(QStringLiteral("seAddrS"));
  seAddrE = new QSpinBox(GroupBox2);
  seAddrE->setObjectName(QStringLiteral("seAddrE"));
  btnSearch = new QPushButton(GroupBox1);
  btnSearch->setObjectName(QStringLiteral("btnSearch"));
  PrgBarSearch = new QProgressBar(GroupBox1);
  PrgBarSearch->setObjectName(QStringLiteral("PrgBarSearch"));
  PrgBarSearch->setTextVisible(false);
  txtFinished = new QLabel(GroupBox1);
  txtFinished->setObjectName(QStringLiteral("txtFinished"));
  grpSearched = new QGroupBox(this);
  lstSearched = new QListWidget(grpSearched);
  lstSearched->setObjectName(QStringLiteral("lstSearched"));
  btnSelect1 = new QPushButton(QStringLiteral(">"), this);
  btnSelect1->setObjectName(QStringLiteral("btnSelect1"));
  btnSelectAll = new QPushButton(QStringLiteral(">>"), this);
  btnSelectAll->setObjectName(QStringLiteral("btnSelectAll"));
  lbEdit = new QLabel(this);
  grdAppend = new QTableWidget(1, 2, this);
  grdAppend->setObjectName(QStringLiteral("grdAppend"));
  grdAppend->setColumnWidth(0, 64);
  grdAppend->setColumnWidth(1, 117);
  grdAppend->verticalHeader()->hide();
  grdAppend->verticalHeader()->setDefaultSectionSize(21);
  grdAppend->horizontalHeader()->setStretchLastSection(true);
  grdAppend->setSelectionMode(QAbstractItemView::SingleSelection);
  btnClear = new QPushButton(this);
  btnClear->setObjectName(QStringLiteral("btnClear"));
  btnAdd = new QPushButton(this);
  btnAdd->setObjectName(QStringLiteral("btnAdd"));
  grpExist = new QGroupBox(this);
  lstExist = new QListWidget(grpExist);
  lstExist->setObjectName(QStringLiteral("lstExist"));
  CheckBox1 = new QCheckBox(this);
  CheckBox1->hide();

  auto* range = new QHBoxLayout(GroupBox2);
  range->addWidget(Label2);
  range->addWidget(seAddrS, 1);
  range->addWidget(Label3);
  range->addWidget(seAddrE, 1);
  auto* controls = new QHBoxLayout(GroupBox1);
  controls->addWidget(GroupBox2, 2);
  controls->addWidget(btnSearch);
  auto* progress = new QVBoxLayout;
  progress->addWidget(PrgBarSearch);
  progress->addWidget(txtFinished);
  controls->addLayout(progress, 1);
  (new QVBoxLayout(grpSearched))->addWidget(lstSearched);
  (new QVBoxLayout(grpExist))->addWidget(lstExist);
  auto* moves = new QVBoxLayout;
  moves->addStretch();
  moves->addWidget(btnSelect1);
  moves->addWidget(btnSelectAll);
  moves->addStretch();
  auto* append = new QVBoxLayout;
  append->addWidget(lbEdit);
  append->addWidget(grdAppend, 1);
  auto* appendButtons = new QHBoxLayout;
  appendButtons->addWidget(btnClear);
  appendButtons->addWidget(btnAdd);
  append->addLayout(appendButtons);
  auto* lists = new QHBoxLayout;
  lists->addWidget(grpSearched, 2);
  lists->addLayout(moves);
  lists->addLayout(append, 4);
  lists->addWidget(grpExist, 2);
  auto* outer = new QVBoxLayout(this);
  outer->addWidget(GroupBox1);
  outer->addLayout(lists, 1);

  // Start 1..end, end start..252: the start never passes the end.
  seAddrE->setRange(1, 252);
  seAddrE->setValue(16);
  seAddrS->setRange(1, 16);
  seAddrS->setValue(1);
  connect(seAddrS, &QSpinBox::valueChanged, this, [this](int v) { seAddrE->setMinimum(v); });
  connect(seAddrE, &QSpinBox::valueChanged, this, [this](int v) { seAddrS->setMaximum(v); });

  connect(btnSearch, &QPushButton::clicked, this, &TFrmEquipSearch::btnSearchClick);
  connect(btnSelect1, &QPushButton::clicked, this, &TFrmEquipSearch::btnSelect1Click);
  connect(btnSelectAll, &QPushButton::clicked, this, &TFrmEquipSearch::btnSelectAllClick);
  connect(btnClear, &QPushButton::clicked, this, &TFrmEquipSearch::btnClearClick);
  connect(btnAdd, &QPushButton::clicked, this, &TFrmEquipSearch::btnAddClick);

  FillExisting();
  ClearGrid();
  FormShow();
  UpdateControls();

  FEngine.NextSearchAddress = [this] { return NextSearchAddress(); };
  FEngine.DeviceFound = [this](uint8_t address) { DeviceFound(address); };
}

TFrmEquipSearch::~TFrmEquipSearch() {
  FCtx.Vars.SearchMode = 0;
  FEngine.NextSearchAddress = nullptr;
  FEngine.DeviceFound = nullptr;
}

QString TFrmEquipSearch::Txt(int index) const {
  const TTextPair& t = Texts[index];
  return QString::fromUtf8(FCtx.Settings.Language == 1 ? t.Zh : t.En);
}

void TFrmEquipSearch::FormShow() {
  setWindowTitle(Txt(Title));
  GroupBox1->setTitle(Txt(Group1));
  GroupBox2->setTitle(Txt(Group2));
  Label2->setText(Txt(From));
  Label3->setText(Txt(To));
  grpSearched->setTitle(Txt(Searched));
  lbEdit->setText(Txt(NameEdit));
  grpExist->setTitle(Txt(Existed));
  btnClear->setText(Txt(Clear));
  btnAdd->setText(Txt(Append));
  btnSelect1->setToolTip(Txt(SelectOneHint));
  btnSelectAll->setToolTip(Txt(SelectAllHint));
  grdAppend->setHorizontalHeaderLabels({Txt(AddrHeader), Txt(NameHeader)});
  CheckBox1->setText(Txt(NameByAddress));
  if (txtFinished->text().trimmed().size() > 0) txtFinished->setText(Txt(Completed));
  UpdateControls();
}

void TFrmEquipSearch::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
}

bool TFrmEquipSearch::Searching() const { return FCtx.Vars.SearchMode != 0; }

void TFrmEquipSearch::UpdateControls() {
  const bool searching = Searching();
  btnSearch->setText(Txt(searching ? Stop : Search));
  PrgBarSearch->setVisible(searching);
  if (searching) PrgBarSearch->setValue(std::clamp<int>(FScanAddr, PrgBarSearch->minimum(), PrgBarSearch->maximum()));
  txtFinished->setVisible(!searching);
}

void TFrmEquipSearch::btnSearchClick() {
  if (Searching()) {
    FCtx.Vars.SearchMode = 0;
  } else {
    FCtx.Vars.SearchMode = 255;
    FScanAddr = static_cast<uint8_t>(seAddrS->value() - 1);
    PrgBarSearch->setRange(seAddrS->value(), seAddrE->value());
    lstSearched->clear();
    txtFinished->setText(QStringLiteral("    "));
  }
  UpdateControls();
}

uint8_t TFrmEquipSearch::NextSearchAddress() {
  ++FScanAddr;
  if (FScanAddr > seAddrE->value()) {
    FCtx.Vars.SearchMode = 0;
    txtFinished->setText(Txt(Completed));
  }
  UpdateControls();
  return FScanAddr;
}

void TFrmEquipSearch::DeviceFound(uint8_t address) {
  std::vector<int> found;
  for (int i = 0; i < lstSearched->count(); ++i) found.push_back(NumberOr(lstSearched->item(i)->text(), 0));
  if (std::find(found.begin(), found.end(), address) != found.end()) return;
  found.push_back(address);
  std::sort(found.begin(), found.end());
  lstSearched->clear();
  for (int a : found) lstSearched->addItem(QString::number(a));
  lstSearched->setCurrentRow(0);
}

bool TFrmEquipSearch::Configured(int address) const {
  for (int i = 1; i <= FCtx.DeviceList.Count; ++i)
    if (FCtx.DeviceList.Nodes[i].Address == address) return true;
  return false;
}

int TFrmEquipSearch::DataRows() const { return grdAppend->rowCount() - 1; }

void TFrmEquipSearch::ClearGrid() {
  grdAppend->clearContents();
  grdAppend->setRowCount(1);
}

void TFrmEquipSearch::AppendGridRow(int address) {
  const int row = grdAppend->rowCount() - 1;
  const QString text = QString::number(address & 0xFF);
  auto* addr = new QTableWidgetItem(text);
  addr->setFlags(addr->flags() & ~Qt::ItemIsEditable);
  grdAppend->setItem(row, 0, addr);
  grdAppend->setItem(row, 1, new QTableWidgetItem(text));
  grdAppend->setRowCount(row + 2);
}

void TFrmEquipSearch::btnSelect1Click() {
  QListWidgetItem* item = lstSearched->currentItem();
  if (!item || !item->isSelected()) return;
  const int a = NumberOr(item->text(), 0);
  if (Configured(a)) {
    ShowMessage(this, Txt(AlreadyConfigured));
    return;
  }
  for (int row = 0; row < DataRows(); ++row) {
    const QTableWidgetItem* cell = grdAppend->item(row, 0);
    if (NumberOr(cell ? cell->text() : QString(), 1) == a) {
      ShowMessage(this, Txt(AlreadyInGrid));
      return;
    }
  }
  AppendGridRow(a);
}

void TFrmEquipSearch::btnSelectAllClick() {
  if (lstSearched->count() == 0) return;
  ClearGrid();
  for (int i = 0; i < lstSearched->count(); ++i) {
    const int a = NumberOr(lstSearched->item(i)->text(), 1);
    if (!Configured(a)) AppendGridRow(a);
  }
}

void TFrmEquipSearch::btnClearClick() { ClearGrid(); }

void TFrmEquipSearch::btnAddClick() {
  const int rows = DataRows();
  if (rows < 1) {
    ShowMessage(this, Txt(NothingToAppend));
    return;
  }
  std::vector<TDeviceNode> nodes;
  // The names are checked as the add-device dialog checks one; the first
  // name refused is shown and nothing is appended.
  for (int row = 0; row < rows; ++row) {
    const QTableWidgetItem* cell = grdAppend->item(row, 1);
    const QString name = cell ? cell->text() : QString();
    const TNameCheck check = CheckDeviceName(name);
    if (check != TNameCheck::Ok) {
      grdAppend->setCurrentCell(row, 1);
      const int language = FCtx.Settings.Language;
      if (check == TNameCheck::Empty)
        ShowMessage(this, Txt(NameMissing));
      else
        ShowMessage(this, LangText(check == TNameCheck::TooLong ? TTextId::MsgNameTooLong : TTextId::MsgNameNotStorable,
                                   language) +
                              QLatin1Char('\n') + name);
      return;
    }
    TDeviceNode node;
    const QTableWidgetItem* addr = grdAppend->item(row, 0);
    node.Address = static_cast<uint8_t>(NumberOr(addr ? addr->text() : QString(), 1) & 0xFF);
    node.Name = *StoredDeviceName(name);
    nodes.push_back(node);
  }
  // All or nothing: a list that cannot take every row takes none.
  TDeviceList& list = FCtx.DeviceList;
  if (list.Count + static_cast<int>(nodes.size()) > MaxDevices) {
    ShowMessage(this, Txt(ListFull));
    return;
  }
  for (const TDeviceNode& node : nodes) list.Nodes[++list.Count] = node;
  if (list.OnRebuildTree) list.OnRebuildTree();
  try {
    list.SaveDeviceList();
  } catch (const std::system_error& e) {
    // The devices are in the list and the tree; only the file lags behind.
    ShowMessage(this, Txt(SaveFailed) + QLatin1Char('\n') + QString::fromLocal8Bit(e.what()));
  }
  FillExisting();
  ClearGrid();
}

void TFrmEquipSearch::FillExisting() {
  std::vector<int> addresses;
  for (int i = 1; i <= FCtx.DeviceList.Count; ++i) addresses.push_back(FCtx.DeviceList.Nodes[i].Address);
  std::sort(addresses.begin(), addresses.end());
  lstExist->clear();
  for (int a : addresses) lstExist->addItem(QString::number(a));
}

void TFrmEquipSearch::closeEvent(QCloseEvent* event) {
  // A program told to stop closes it anyway; the destructor ends the search.
  if (Searching() && !Stopping()) {
    ShowMessage(this, Txt(CloseRefused));
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void TFrmEquipSearch::reject() {
  // Escape is a close request like the close box.
  if (Searching() && !Stopping()) {
    ShowMessage(this, Txt(CloseRefused));
    return;
  }
  QDialog::reject();
}

}  // namespace tessaro
