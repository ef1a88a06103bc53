#include "desktop/DlgFileShare.h"

#include "desktop/DesktopShell.h"

CDlgFileShare::CDlgFileShare(CDataFileShare& shares, bool new_record, const std::string& key_name,
                             QWidget* parent, CDesktopShell* shell)
    : QDialog(parent),
      m_shares(shares),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_new_record(new_record),
      m_key_name(key_name) {}
bool CDlgFileShare::DeleteShare(CDataFileShare& shares, const std::string& key_name) {
  return shares.RemoveShare(key_name);
}
void CDlgFileShare::accept() {}
void CDlgFileShare::Load() {}
void CDlgFileShare::TakePickedPath(const QString&) {}
