#pragma once

#include <QTimer>
#include <QTreeView>
#include <cstdint>
#include <functional>
#include <vector>

#include "desktop/TransferModel.h"

class QAction;

// The Transfers list: what friends download and upload now, sampled once a tick while the list
// is shown, and a Stop action (context menu, Delete) that ends the selected transfers'
// connections.
class CTransfersView : public QTreeView {
  Q_OBJECT

 public:
  static constexpr int kTickMs = 1000;

  // Where the transfers come from: the service's registry, or a fake of it.
  struct Source {
    std::function<std::vector<CTransferRegistry::Row>()> snapshot;
    std::function<bool(std::uint64_t id)> stop;
  };
  // The registry's transfers; none at all for a null registry.
  static Source FromRegistry(CTransferRegistry* registry);

  explicit CTransfersView(Source source, QWidget* parent = nullptr);

  // Samples the source now (the timer does so each tick while the list is shown).
  void Refresh();
  // Stops the selected transfers; how many the source still had.
  int StopSelected();
  QAction* StopAction() const { return m_stop; }
  CTransferModel* Model() const { return m_model; }
  QTimer& TickTimer() { return m_timer; }

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void UpdateStop();

  Source m_source;
  CTransferModel* m_model;
  QAction* m_stop;
  QTimer m_timer;
};
