#include "recordkit/sqlite/fault_vfs.h"

#include <cstring>
#include <stdexcept>

namespace recordkit::testing {

namespace {

// Our file: the base VFS's file follows it in the same allocation.
struct FaultFile {
  sqlite3_file base;
  FaultVfs* owner;
  sqlite3_file* real;
};

FaultFile* Of(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file); }
sqlite3_file* Real(sqlite3_file* file) { return Of(file)->real; }
FaultVfs& OwnerOf(sqlite3_file* file) { return *Of(file)->owner; }

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  return Real(f)->pMethods->xRead(Real(f), buffer, amount, offset);
}
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  if (int rc = OwnerOf(f).BeforeWrite(false); rc != SQLITE_OK) return rc;
  return Real(f)->pMethods->xWrite(Real(f), buffer, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  if (int rc = OwnerOf(f).BeforeWrite(false); rc != SQLITE_OK) return rc;
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (int rc = OwnerOf(f).BeforeWrite(true); rc != SQLITE_OK) return rc;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int Lock(sqlite3_file* f, int level) {
  const int rc = Real(f)->pMethods->xLock(Real(f), level);
  OwnerOf(f).AfterLock(rc);
  return rc;
}
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  const int rc = Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
  OwnerOf(f).AfterLock(rc);
  return rc;
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) { return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag); }

// Version 2: the WAL's shared memory, but no memory-mapped reads, so every read
// goes through Read.
const sqlite3_io_methods kFaultMethods = {
    2,        Close,     Read,      Write,          Truncate,    Sync,
    FileSize, Lock,      Unlock,    CheckReservedLock, FileControl, SectorSize,
    DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, nullptr, nullptr,
};

FaultVfs* Owner(sqlite3_vfs* vfs) { return static_cast<FaultVfs*>(vfs->pAppData); }

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  FaultVfs* owner = Owner(vfs);
  FaultFile* ours = Of(file);
  ours->owner = owner;
  ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
  ours->base.pMethods = nullptr;
  if (owner->readOnly() && (flags & SQLITE_OPEN_MAIN_DB) != 0) {
    flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
  }
  const int rc = owner->base()->xOpen(owner->base(), name, ours->real, flags, outFlags);
  if (ours->real->pMethods != nullptr) ours->base.pMethods = &kFaultMethods;
  return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return Owner(vfs)->base()->xDelete(Owner(vfs)->base(), name, syncDir);
}
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return Owner(vfs)->base()->xAccess(Owner(vfs)->base(), name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return Owner(vfs)->base()->xFullPathname(Owner(vfs)->base(), name, size, out);
}
int Randomness(sqlite3_vfs* vfs, int size, char* out) {
  return Owner(vfs)->base()->xRandomness(Owner(vfs)->base(), size, out);
}
int Sleep(sqlite3_vfs* vfs, int micros) { return Owner(vfs)->base()->xSleep(Owner(vfs)->base(), micros); }
int CurrentTime(sqlite3_vfs* vfs, double* out) {
  return Owner(vfs)->base()->xCurrentTime(Owner(vfs)->base(), out);
}
int GetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return Owner(vfs)->base()->xGetLastError(Owner(vfs)->base(), size, out);
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return Owner(vfs)->base()->xCurrentTimeInt64(Owner(vfs)->base(), out);
}

}  // namespace

FaultVfs::FaultVfs(std::string name) : name_(std::move(name)), base_(sqlite3_vfs_find(nullptr)) {
  if (base_ == nullptr) throw std::runtime_error("no default SQLite VFS");
  std::memset(&vfs_, 0, sizeof vfs_);
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FaultFile)) + base_->szOsFile;
  vfs_.mxPathname = base_->mxPathname;
  vfs_.zName = name_.c_str();
  vfs_.pAppData = this;
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = Sleep;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = GetLastError;
  vfs_.xCurrentTimeInt64 = CurrentTimeInt64;
  if (sqlite3_vfs_register(&vfs_, 0) != SQLITE_OK) throw std::runtime_error("cannot register VFS");
}

FaultVfs::~FaultVfs() { sqlite3_vfs_unregister(&vfs_); }

void FaultVfs::FailWrites(int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  failCode_ = code;
  countdown_ = 0;
}

void FaultVfs::FailNth(int n, int code, Fault fault, Counted counted) {
  std::lock_guard<std::mutex> lock(mutex_);
  failCode_ = SQLITE_OK;
  countdown_ = n;
  pendingCode_ = code;
  pendingFault_ = fault;
  counted_ = counted;
}

void FaultVfs::Heal() {
  std::lock_guard<std::mutex> lock(mutex_);
  failCode_ = SQLITE_OK;
  countdown_ = 0;
}

void FaultVfs::OpenDatabasesReadOnly(bool readOnly) {
  std::lock_guard<std::mutex> lock(mutex_);
  readOnly_ = readOnly;
}

bool FaultVfs::readOnly() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readOnly_;
}

int FaultVfs::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

int FaultVfs::syncs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return syncs_;
}

int FaultVfs::faultsHit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faultsHit_;
}

int FaultVfs::busyLocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busyLocks_;
}

void FaultVfs::AwaitBusyLocks(int n) const {
  std::unique_lock<std::mutex> lock(mutex_);
  busyLocksChanged_.wait(lock, [&] { return busyLocks_ >= n; });
}

int FaultVfs::BeforeWrite(bool isSync) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++(isSync ? syncs_ : writes_);
  if (failCode_ != SQLITE_OK) {
    ++faultsHit_;
    return failCode_;
  }
  if (countdown_ > 0 && (isSync || counted_ == Counted::kWritesAndSyncs) && --countdown_ == 0) {
    ++faultsHit_;
    if (pendingFault_ == Fault::kFromThenOn) failCode_ = pendingCode_;
    return pendingCode_;
  }
  return SQLITE_OK;
}

void FaultVfs::AfterLock(int rc) {
  if ((rc & 0xff) != SQLITE_BUSY) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++busyLocks_;
  }
  busyLocksChanged_.notify_all();
}

}  // namespace recordkit::testing
