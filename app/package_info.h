// The embedded package: written out, unpacked into a per-run folder, its information file read
// into AppState, and the folder removed at close.
#pragma once
#include <cstdint>

constexpr uint32_t GENERIC_WRITE_MODE = 0x40000000;   // GENERIC_WRITE: create or replace
constexpr uint32_t FILE_APPEND_DATA_MODE = 0x00000004; // FILE_APPEND_DATA: open or create, append

void GetTempFolder(char16_t* buffer, uint32_t capacity);
bool FileExists(const char16_t* path);
void CreatePackageFolder();
void ExtractPackage(const char16_t* resourceType, uint32_t resourceId, const char16_t* folder);
int WriteWholeFile(const char16_t* path, uint32_t mode, const void* data, uint32_t length);
void UnzipToFolder(const char16_t* archivePath, const char16_t* folder, bool deleteArchive);
void LoadPackageInfo();
void ReplaceAll(char16_t* text, const char16_t* find, const char16_t* replacement);
void RemovePackageFolder();
void DeleteFilesInFolder(const char16_t* folder, const char16_t* pattern);
