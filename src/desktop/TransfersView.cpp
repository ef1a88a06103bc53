#include "desktop/TransfersView.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>

#include "desktop/ReportList.h"
#include "desktop/UiString.h"
#include "res/StringIds.h"

namespace res = tessel::res;
using tessel::desktop::UiString;

namespace {

// How soon after a Stop the list looks again: the connection ends within moments.
constexpr int kAfterStopMs = 200;

}  // namespace

CTransfersView::Source CTransfersView::FromRegistry(CTransferRegistry* registry) {
  if (!registry)
    return {[] { return std::vector<CTransferRegistry::Row>{}; }, [](auto) { return false; }};
  return {[registry] { return registry->Snapshot(); },
          [registry](std::uint64_t id) { return registry->Stop(id); }};
}

CTransfersView::CTransfersView(Source source, QWidget* parent)
    : QTreeView(parent), m_source(std::move(source)), m_model(new CTransferModel(this)) {
  setObjectName("transfers");
  SetUpReportList(this);
  setModel(m_model);
  const QFontMetrics metrics = fontMetrics();
  const auto width = [&metrics](const char* sample) {
    return metrics.horizontalAdvance(sample) + 16;
  };
  setColumnWidth(CTransferModel::kVisitor, width("living-room-tv (192.168.100.100)"));
  setColumnWidth(CTransferModel::kItem, width("Holiday photos 2026.iso"));
  setColumnWidth(CTransferModel::kDirection, width("download"));
  setColumnWidth(CTransferModel::kBytes, width("1000 M of 1000 M"));
  setColumnWidth(CTransferModel::kSpeed, width("100.0 M/s"));

  m_stop = new QAction(UiString(res::IDS_MENU_STOP_TRANSFER) + '\t' +
                           QKeySequence(QKeySequence::Delete).toString(QKeySequence::NativeText),
                       this);
  connect(m_stop, &QAction::triggered, this, &CTransfersView::StopSelected);
  connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_stop);
    menu->popup(viewport()->mapToGlobal(pos));
  });
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &CTransfersView::UpdateStop);
  connect(m_model, &QAbstractItemModel::rowsRemoved, this, &CTransfersView::UpdateStop);
  UpdateStop();
  connect(&m_timer, &QTimer::timeout, this, &CTransfersView::Refresh);
}

void CTransfersView::Refresh() {
  m_model->Update(m_source.snapshot(), CTransferRegistry::Clock::now());
}

int CTransfersView::StopSelected() {
  int stopped = 0;
  for (const QModelIndex& index : selectionModel()->selectedRows())
    if (m_source.stop(m_model->IdAt(index.row()))) ++stopped;
  if (stopped > 0) QTimer::singleShot(kAfterStopMs, this, &CTransfersView::Refresh);
  return stopped;
}

void CTransfersView::UpdateStop() {
  m_stop->setEnabled(selectionModel()->hasSelection());
}

bool CTransfersView::event(QEvent* event) {
  // Delete is the window's key for the other lists; here it stops.
  if (event->type() == QEvent::ShortcutOverride &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Delete)) {
    event->accept();
    return true;
  }
  return QTreeView::event(event);
}

void CTransfersView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Delete)) {
    StopSelected();
    return;
  }
  QTreeView::keyPressEvent(event);
}

void CTransfersView::showEvent(QShowEvent* event) {
  QTreeView::showEvent(event);
  Refresh();
  m_timer.start(kTickMs);
}

void CTransfersView::hideEvent(QHideEvent* event) {
  m_timer.stop();
  QTreeView::hideEvent(event);
}
