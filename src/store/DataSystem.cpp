#include "store/DataSystem.h"

#include <filesystem>

namespace {

constexpr const char* kParamQuery = "select paramvalue from config where paramname = ?";

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
  OperationScope scope(*this, Access::kRead);
  CADO::CADORecordset& rs = scope.Recordset();
  std::string value;
  if (rs.Open(kParamQuery, {name}) && !rs.IsEOF()) rs.GetFieldValue("paramvalue", value);
  return value;
}

bool CDataSystem::SetParam(const std::string& name, const std::string& value) {
  // One statement adds the row or changes it; the name takes the given letter case either way.
  // Empty text is stored as no value, so an empty name is refused.
  OperationScope scope(*this);
  return scope.Database().Execute(
      "insert into config (paramname, paramvalue) values (?, ?) on conflict (paramname) do "
      "update set paramname = excluded.paramname, paramvalue = excluded.paramvalue",
      {name.empty() ? SqlValue() : SqlValue(name), value.empty() ? SqlValue() : SqlValue(value)});
}

std::string CDataSystem::GetUploadPath() {
  std::string path = GetParam("UploadPath");
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}
