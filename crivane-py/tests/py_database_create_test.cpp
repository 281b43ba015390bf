// PyAtomDatabase(path) when another process takes the name between the
// constructor's look at the path and the creation. This binary is linked
// with --wrap=stat,--wrap=stat64 (crivane-py/CMakeLists.txt): the look
// finds nothing, and the name is taken right after it.
#include "py/python.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "database/database.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace {

// The path whose next look-up is followed by another writer taking it.
std::string taken_after_look;

void take_if_watched(const char* path) {
  if (taken_after_look.empty() || taken_after_look != path) return;
  taken_after_look.clear();
  const int saved = errno;
  std::ofstream(path, std::ios::binary) << "another writer's file";
  errno = saved;
}

}  // namespace

extern "C" {
int __real_stat(const char* path, struct stat* st);
int __real_stat64(const char* path, struct stat64* st);

int __wrap_stat(const char* path, struct stat* st) {
  const int r = __real_stat(path, st);
  take_if_watched(path);
  return r;
}
int __wrap_stat64(const char* path, struct stat64* st) {
  const int r = __real_stat64(path, st);
  take_if_watched(path);
  return r;
}
}

namespace crivane_rs::database {
namespace {

using py::Ref;

TEST(DatabaseCreate, ANameTakenAfterTheLookIsLeftAlone) {
  std::string pattern = (std::filesystem::temp_directory_path() / "py_create_test.XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string path = (dir / "db").native();

  PyObject* type = reinterpret_cast<PyObject*>(py_database_class().get());
  ASSERT_NE(type, nullptr) << py::take_error_text();
  taken_after_look = path;
  Ref db = Ref::steal(PyObject_CallFunction(type, "s", path.c_str()));
  EXPECT_TRUE(taken_after_look.empty()) << "the constructor never looked at the path";
  taken_after_look.clear();

  EXPECT_FALSE(db);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_FileExistsError));
  EXPECT_EQ(py::take_error_text(),
            "FileExistsError: Database file already exists at '" + path +
                "'. Use Database.open(path) for read-only access, Database.open(path, "
                "mmap=False) to append, or pass overwrite=True to recreate it.");
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "another writer's file");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace crivane_rs::database
