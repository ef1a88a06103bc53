#include "store/DataSystem.h"

#include <filesystem>

namespace {

std::string ParamQuery(const std::string& name) {
  return "select * from config where paramname='" + SqlQuote(name) + "'";
}

}  // namespace

CDataSystem::CDataSystem(const std::string& program_folder) : CDataBasic(program_folder) {}

CDataSystem::~CDataSystem() = default;

bool CDataSystem::Open() {
  if (!OpenFile(GetDatabasePath())) return false;
  std::string upload = GetParam("UploadPath");
  std::error_code ec;
  if (upload.empty() || !std::filesystem::exists(upload, ec)) {
    upload = GetProgramFolder() + "/upload";
    std::filesystem::create_directory(upload, ec);  // only the last level; it may exist already
    SetParam("UploadPath", upload);
  }
  return true;
}

std::string CDataSystem::GetParam(const std::string& name) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  std::string value;
  if (rs.Open(ParamQuery(name)) && !rs.IsEOF()) rs.GetFieldValue("paramvalue", value);
  return value;
}

bool CDataSystem::SetParam(const std::string& name, const std::string& value) {
  OperationScope scope(*this);
  CADO::CADORecordset& rs = scope.Recordset();
  if (!rs.Open(ParamQuery(name))) return false;
  if (rs.IsEOF()) {
    if (!rs.AddNew()) return false;
  } else {
    rs.Edit();
  }
  rs.SetFieldValue("paramname", name);
  rs.SetFieldValue("paramvalue", value);
  return rs.Update();
}

std::string CDataSystem::GetUploadPath() {
  std::string path = GetParam("UploadPath");
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}
