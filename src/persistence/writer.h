// AsyncWriter: the Python object and the state it shares with its thread.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>
#include <thread>

#include "persistence/queue.h"
#include "persistence/sqlite_db.h"

namespace persist {
namespace nb = nanobind;

/// What the Python object and the writer thread share. The thread keeps it
/// alive through a shared_ptr, so a detached thread (interpreter exit) never
/// reads freed memory.
struct WriterCore {
  WriterCore(size_t capacity, size_t batch, double interval)
      : queue(capacity, batch, interval), batch_size(batch) {}
  WriteQueue queue;
  const size_t batch_size;
  std::shared_ptr<Db> db;          ///< set: the native road (no GIL on the thread)
  PyObject* storage = nullptr;     ///< owned; only touched with the GIL
  std::thread thread;
  std::atomic<std::thread::id> thread_id{};
};

struct AsyncWriterObject {
  PyObject_HEAD
  std::shared_ptr<WriterCore> core;
  PyObject* config;                ///< owned WriterConfig (or None)
  PyObject* last_pipeline_id;      ///< owned: pipeline id of the last node enqueued
  int state;                       ///< 0 created, 1 running, 2 stopped
  PyObject* weakrefs;
};

extern PyTypeObject AsyncWriterType;

void writer_init(PyObject* module);
/// The thread body (writer_thread.cpp).
void writer_thread_main(std::shared_ptr<WriterCore> core);
/// Release the references of PyItems (GIL held).
void release_py_items(std::vector<NativeRow>& rows);

/// Enqueue rows from a producer holding the GIL: waits for room with the GIL
/// released. Raises RuntimeError when the writer is not running.
void writer_enqueue(AsyncWriterObject* w, std::vector<NativeRow>& rows);
bool writer_is_native(AsyncWriterObject* w);

}  // namespace persist
