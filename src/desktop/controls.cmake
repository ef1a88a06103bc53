# The custom controls, the three edit dialogs and the desktop seam they share.
set(TESSEL_DESKTOP_CONTROLS
  ${CMAKE_CURRENT_SOURCE_DIR}/BarFolder.cpp ${CMAKE_CURRENT_SOURCE_DIR}/BarFolder.h
  ${CMAKE_CURRENT_SOURCE_DIR}/BarItem.h
  ${CMAKE_CURRENT_SOURCE_DIR}/DesktopShell.cpp ${CMAKE_CURRENT_SOURCE_DIR}/DesktopShell.h
  ${CMAKE_CURRENT_SOURCE_DIR}/DialogParts.cpp ${CMAKE_CURRENT_SOURCE_DIR}/DialogParts.h
  ${CMAKE_CURRENT_SOURCE_DIR}/DlgAccount.cpp ${CMAKE_CURRENT_SOURCE_DIR}/DlgAccount.h
  ${CMAKE_CURRENT_SOURCE_DIR}/DlgFileShare.cpp ${CMAKE_CURRENT_SOURCE_DIR}/DlgFileShare.h
  ${CMAKE_CURRENT_SOURCE_DIR}/DlgSettings.cpp ${CMAKE_CURRENT_SOURCE_DIR}/DlgSettings.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ExtStatusControlBar.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ExtStatusControlBar.h
  ${CMAKE_CURRENT_SOURCE_DIR}/GfxGroupEdit.cpp ${CMAKE_CURRENT_SOURCE_DIR}/GfxGroupEdit.h
  ${CMAKE_CURRENT_SOURCE_DIR}/GfxOutBarCtrl.cpp ${CMAKE_CURRENT_SOURCE_DIR}/GfxOutBarCtrl.h
  ${CMAKE_CURRENT_SOURCE_DIR}/GfxOutBarInput.cpp ${CMAKE_CURRENT_SOURCE_DIR}/GfxOutBarLayout.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/InfoBar.cpp ${CMAKE_CURRENT_SOURCE_DIR}/InfoBar.h
  ${CMAKE_CURRENT_SOURCE_DIR}/Led.cpp ${CMAKE_CURRENT_SOURCE_DIR}/Led.h
  ${CMAKE_CURRENT_SOURCE_DIR}/PlainText.cpp ${CMAKE_CURRENT_SOURCE_DIR}/PlainText.h
  ${CMAKE_CURRENT_SOURCE_DIR}/UiString.h
)

# The info bar draws QR codes with libqrencode. This file is read before tessel_desktop exists,
# so the link is added once the folder is done.
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
cmake_language(DEFER CALL target_link_libraries tessel_desktop PRIVATE PkgConfig::QRENCODE)
