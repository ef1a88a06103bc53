#include "desktop/DlgAccount.h"

#include "desktop/DesktopShell.h"

CDlgAccount::CDlgAccount(CDataAccount& accounts, bool new_record, const std::string& key_name,
                         QWidget* parent, CDesktopShell* shell)
    : QDialog(parent),
      m_accounts(accounts),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_new_record(new_record),
      m_key_name(key_name) {}
bool CDlgAccount::DeleteAccount(CDataAccount&, const std::string&, QWidget*, CDesktopShell*) {
  return false;
}
void CDlgAccount::accept() {}
void CDlgAccount::Load() {}
void CDlgAccount::UpdateAuthFields() {}
