// Named shared memory across processes: the names clients open, the
// descriptor on both objects, bounds and flags, and the mutex that a dead
// process left behind.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/paths.h"
#include "tvlib/ipc/security.h"
#include "tvlib/ipc/shared_memory.h"

namespace {

const uint32_t kReadWriteCreate =
    CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kCreate;
const uint32_t kReadWriteOpen =
    CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kOpen;

std::string Args(const std::string& command, const std::string& name, uint32_t size) {
  return command + " " + name + " " + std::to_string(size);
}

TEST(SharedMemory, ChildOpensTheBlockAndBothSeeEachOthersWrites) {
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer block(name.c_str(), kReadWriteCreate, 4096);
  ASSERT_TRUE(block.IsOk());
  ASSERT_EQ(7, block.WriteAt("parent", 1, 7, 0));

  ASSERT_EQ(0, testsupport::RunChild("helper_shared_memory.exe", Args("open", name, 4096)));
  EXPECT_STREQ("child", reinterpret_cast<const char*>(block.GetData() + 64));

  // A second create opens the same memory.
  CSharedMemoryBuffer again(name.c_str(), kReadWriteCreate, 4096);
  ASSERT_TRUE(again.IsOk());
  EXPECT_STREQ("parent", reinterpret_cast<const char*>(again.GetData()));

  // The exact names a client program opens.
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\TARVEL_" + name).c_str());
  HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\TARVEL_" + name + "_MUTEX").c_str());
  EXPECT_NE(nullptr, mapping);
  EXPECT_NE(nullptr, mutex);
  if (mapping) ::CloseHandle(mapping);
  if (mutex) ::CloseHandle(mutex);
}

// The objects carry the restricted descriptor's four ACEs, in order.
void ExpectRestrictedDacl(HANDLE object) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR held = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &dacl, nullptr, &held));
  PSECURITY_DESCRIPTOR wanted = BuildRestrictedSecurityDescriptor();
  BOOL present = FALSE, defaulted = FALSE;
  PACL wantedDacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(wanted, &present, &wantedDacl, &defaulted));
  ASSERT_NE(nullptr, dacl);
  ASSERT_EQ(wantedDacl->AceCount, dacl->AceCount);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* got = nullptr;
    void* want = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &got));
    ASSERT_TRUE(::GetAce(wantedDacl, i, &want));
    const ACE_HEADER* g = static_cast<ACE_HEADER*>(got);
    const ACE_HEADER* w = static_cast<ACE_HEADER*>(want);
    EXPECT_EQ(w->AceType, g->AceType) << i;
    EXPECT_EQ(w->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              g->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))
        << i;
    EXPECT_TRUE(::EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(got)->SidStart,
                           &static_cast<ACCESS_ALLOWED_ACE*>(want)->SidStart))
        << i;
  }
  ::LocalFree(wanted);
  ::LocalFree(held);
}

TEST(SharedMemory, MappingAndMutexCarryTheRestrictedDescriptor) {
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer block(name.c_str(), kReadWriteCreate, 1024);
  ASSERT_TRUE(block.IsOk());
  ExpectRestrictedDacl(block.GetMappingHandle());
  ExpectRestrictedDacl(block.GetMutexHandle());
}

TEST(SharedMemory, RefusesBadCallsAndCutsCopiesToTheView) {
  LogCapture log;
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer block(name.c_str(), kReadWriteCreate, 256);
  ASSERT_TRUE(block.IsOk());
  std::vector<uint8_t> buffer(512);

  struct Case {
    uint32_t size, count, position;
    int32_t result;
  } const cases[] = {
      {1, 10, 256, 0}, {1, 10, 257, -1},         {1, 300, 0, 256},
      {4, 10, 250, 6}, {0x80000000u, 2, 0, 256},  // 2^32 bytes asked: cut to the view, not wrapped to nothing
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, block.ReadAt(buffer.data(), c.size, c.count, c.position)) << c.size << "x" << c.count;
    EXPECT_EQ(c.result, block.WriteAt(buffer.data(), c.size, c.count, c.position))
        << c.size << "x" << c.count;
  }
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::ReadAt pos > m_ulSize"));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::WriteAt pos > m_ulSize"));
  EXPECT_EQ(-1, block.ReadAt(nullptr, 1, 1));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::ReadAt !ptr"));

  CSharedMemoryBuffer readOnly(testsupport::UniqueName("shm").c_str(),
                               CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kCreate, 64);
  ASSERT_TRUE(readOnly.IsOk());
  EXPECT_EQ(-1, readOnly.WriteAt(buffer.data(), 1, 1));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::WriteAt !IsWritable"));

  CSharedMemoryBuffer empty;
  EXPECT_EQ(-1, empty.ReadAt(buffer.data(), 1, 1));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::ReadAt !IsOk"));
  EXPECT_FALSE(empty.Create(testsupport::UniqueName("shm").c_str(), CSharedMemoryBuffer::kRead, 64));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::Create No SharedMemory"));
  EXPECT_FALSE(empty.Create(testsupport::UniqueName("shm").c_str(), kReadWriteOpen, 64));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::Create OpenFileMapping FAILED (2)"));

  // A second Create on an open block closes it.
  EXPECT_FALSE(block.Create(name.c_str(), kReadWriteCreate, 256));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::Create already create"));
  EXPECT_FALSE(block.IsOk());
}

TEST(SharedMemory, AttachedBlockStaysWithinItsParent) {
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer parent(name.c_str(), kReadWriteCreate, 256);
  ASSERT_TRUE(parent.IsOk());

  CSharedMemoryBuffer inside(parent, 200, 56);
  ASSERT_TRUE(inside.IsOk());
  EXPECT_EQ(3, inside.WriteAt("ab", 1, 3, 0));
  EXPECT_STREQ("ab", reinterpret_cast<const char*>(parent.GetData() + 200));
  EXPECT_EQ(0, inside.WriteAt("ab", 1, 3, 56));

  CSharedMemoryBuffer tooLarge(parent, 200, 57);
  EXPECT_FALSE(tooLarge.IsOk());
  // offset + size wraps to 0x100 in 32 bits.
  CSharedMemoryBuffer wrapping(parent, 0xFFFFFF00u, 0x200);
  EXPECT_FALSE(wrapping.IsOk());
}

TEST(SharedMemory, MutexAbandonedByADeadClientIsFreedForTheOthers) {
  LogCapture log;
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer block(name.c_str(), kReadWriteCreate, 256);
  ASSERT_TRUE(block.IsOk());
  ASSERT_EQ(0, testsupport::RunChild("helper_shared_memory.exe", Args("lock", name, 256)));

  char buffer[16];
  EXPECT_EQ(0, block.ReadAt(buffer, 1, sizeof buffer));
  EXPECT_TRUE(log.Has("CSharedMemoryBuffer::ReadAt Lock FAILED"));
  // Kept after the abandoned wait, the mutex would block this child for good.
  EXPECT_EQ(16, testsupport::RunChild("helper_shared_memory.exe", Args("read", name, 256), "", "", 30000));
}

// What the mutex handle of an open-only block may do.
struct ObjectBasicInformation {
  ULONG attributes;
  ACCESS_MASK grantedAccess;
  ULONG handleCount;
  ULONG pointerCount;
  ULONG reserved[10];
};
typedef LONG(NTAPI* NtQueryObjectFn)(HANDLE, int, void*, ULONG, ULONG*);

TEST(SharedMemory, OpenOnlyBlockAsksForWaitAndReleaseOnly) {
  const std::string name = testsupport::UniqueName("shm");
  CSharedMemoryBuffer owner(name.c_str(), kReadWriteCreate, 256);
  ASSERT_TRUE(owner.IsOk());
  CSharedMemoryBuffer client(name.c_str(), kReadWriteOpen, 256);
  ASSERT_TRUE(client.IsOk());
  auto query = reinterpret_cast<NtQueryObjectFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  ASSERT_NE(nullptr, query);
  ObjectBasicInformation info = {};
  ASSERT_EQ(0, query(client.GetMutexHandle(), 0, &info, sizeof info, nullptr));
  EXPECT_EQ(static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTEX_MODIFY_STATE), info.grantedAccess);
  // Still a working lock.
  EXPECT_TRUE(client.Lock());
  EXPECT_TRUE(client.Unlock());
}

}  // namespace
