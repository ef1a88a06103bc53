#pragma once

#include <string>

#include "store/DataBasic.h"

// The settings: named text values; names compare without regard to letter case and a setting
// without a row reads as the empty text. Every operation may be called from any thread.
class CDataSystem : public CDataBasic {
 public:
  explicit CDataSystem(const std::string& program_folder = tessel::ExecutableFolder());
  ~CDataSystem() override;

  // Opens the database file, creating it when missing; then, if "UploadPath" is empty or names
  // nothing that exists, creates program folder + "/upload" and stores it there. Returns
  // whether the file could be opened.
  bool Open() override;

  // The value of the setting; the empty text when it has no row, no value, or cannot be read.
  std::string GetParam(const std::string& name);
  // Writes the setting (an empty value is stored as no value); the stored name takes the
  // given letter case. True when the value was written.
  bool SetParam(const std::string& name, const std::string& value);
  // The "UploadPath" setting without one trailing "/".
  std::string GetUploadPath();
};
