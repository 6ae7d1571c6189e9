// Each tree's reader: its pool's threads list that tree's folders ahead of the walk, within the
// descriptors the readers share, and work out each entry's relative path.
#include "compare/folder_reader.h"

#include <new>
#include <system_error>

#include "compare/descriptor_budget.h"
#include "compare/entry_naming.h"
#include "compare/folder_job.h"
#include "compare/reader_pool.h"
#include "platform/code_page.h"
#include "platform/folders.h"

namespace pairwick {

namespace fs = std::filesystem;

struct FolderReader {
  NamingBase naming;
  // What a read that runs out of memory fails with, made while memory was there: every failed
  // read holds its failure until the walk reaches it, and the exceptions that the system makes
  // when memory is exhausted come from a small reserve that thousands of them would use up.
  std::exception_ptr outOfMemory;
  std::shared_ptr<FolderJob> top;
  // Last, so that its threads have ended before what they read with goes.
  std::unique_ptr<ReaderPool> pool;
};

namespace {

// The listing, retried while the reader's own descriptors stand in its way. Nothing of a listing
// is used before it is whole.
platform::FolderListing listFolder(const FolderJob& job) {
  for (;;) {
    const HeldDescriptor held;
    try {
      return platform::readFolder(fs::path(job.read.path), job.listed.get());
    } catch (const fs::filesystem_error& error) {
      if (error.code() != std::errc::too_many_files_open || !held.crowdedOut()) throw;
    }
  }
}

// The folder's listing and its entries' texts; a failure is kept at the entry it ends the walk at.
void fillRead(FolderReader& reader, FolderJob& job) {
  FolderRead& read = job.read;
  try {
    read.listing = listFolder(job);
    if (job.position.empty() && !read.listing.kinds.empty()) {
      reader.naming.resolvedBase =
          resolveWalkedPath(reader.naming.base, reader.naming.base.native().size());
    }
    nameEntries(reader.naming, job);
  } catch (const std::bad_alloc&) {
    read.failedAt = read.isName.size();
    read.failure = reader.outOfMemory;
  } catch (...) {
    read.failedAt = read.isName.size();
    read.failure = std::current_exception();
  }
}

}  // namespace

std::shared_ptr<FolderReader> startReading(const NarrowText& basePath) {
  const auto reader = std::make_shared<FolderReader>();
  reader->naming.base = platform::pathFromNarrow(basePath);
  readersDescriptorBudget().renew();
  reader->top = std::make_shared<FolderJob>();
  reader->top->read.path = reader->naming.base.native();
  reader->outOfMemory = std::make_exception_ptr(std::bad_alloc());
  FolderReader& self = *reader;
  reader->pool =
      std::make_unique<ReaderPool>(reader->top, [&self](FolderJob& job) { fillRead(self, job); });
  return reader;
}

FolderRead awaitRead(FolderReader& reader, const std::shared_ptr<FolderJob>& subfolder) {
  return reader.pool->awaitRead(subfolder ? subfolder : reader.top);
}

}  // namespace pairwick
