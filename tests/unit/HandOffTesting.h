#pragma once

// Set-up shared by the hand-off tests: a machine on which the product is installed the
// way the installer leaves it.

#include "FakePlatform.h"
#include "PackageModel.h"
#include "handoff/HandOffRecord.h"
#include "package/PackageTrailer.h"

#include <string>

namespace wrapper::testing {

inline void RegisterProduct(fake::FakePlatform& machine, const std::u16string& installDir,
                            bool terminated = true) {
    machine.registry.SetString(handoff::kUninstallKey, handoff::kAppPathValue, installDir,
                               terminated);
}

// The record's steps of the hand-off, as a run takes them: the uninstall key, the folder
// it names, the rows. False, with nothing written, when the folder cannot be had. The key
// is closed again on return.
inline bool WriteRecordOfInstalledProduct(fake::FakePlatform& machine,
                                          const package::TrailerFields& fields,
                                          char16_t (&installDir)[handoff::kInstallDirCapacity]) {
    const platform::UniqueKey key = handoff::OpenUninstallKey(machine.registry);
    if (!key || !handoff::ReadInstallDir(machine.registry, key.Get(), installDir)) return false;
    handoff::WriteHandOffRecord(machine.profiles, fields, installDir);
    return true;
}

// The bytes of a file in the fake file system ("" when it is missing).
inline std::string FileText(fake::FakePlatform& machine, const std::u16string& path) {
    return machine.files.ReadText(path);
}

inline void WriteFileText(fake::FakePlatform& machine, const std::u16string& path,
                          const std::string& text) {
    machine.files.WriteText(path, text);
}

}  // namespace wrapper::testing
