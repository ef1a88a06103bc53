#include "desktop/DlgSettings.h"

#include "desktop/DesktopShell.h"

CDlgSettings::CDlgSettings(CDataSystem& system, const std::string& program_path, QWidget* parent,
                           CDesktopShell* shell, const tessel::WebService& web)
    : QDialog(parent),
      m_system(system),
      m_program_path(program_path),
      m_shell(shell ? *shell : CDesktopShell::Standard()),
      m_web(web) {}
void CDlgSettings::accept() {}
int CDlgSettings::ParsePort(const QString&) {
  return 0;
}
QString CDlgSettings::FriendlyUrl(const tessel::WebService&, const QString&) {
  return {};
}
void CDlgSettings::Load() {}
void CDlgSettings::UpdatePreview() {}
