// The binding layer inside an embedded interpreter, through a small class
// made only for these tests.
#include "py/python.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/class.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/numpy.hpp"
#include "py/once.hpp"
#include "py/ref.hpp"

namespace crivane_rs::py {
namespace {

// ---- The test class --------------------------------------------------------

struct Probe {
  std::int64_t value = 0;
};
using ProbeObject = Instance<Probe>;
Class<Probe>& probe_class();

constexpr Signature kNew{"Probe.__new__", {arg("value"), opt("scale"), kwarg("tag")}};
constexpr Signature kThree{"Probe.three", {arg("a"), arg("b"), arg("c")}};
constexpr Signature kMixed{
    "Probe.mixed", {arg("a"), opt("b"), kwarg_required("c"), kwarg_required("d"), kwarg("e")}};
constexpr Signature kKeywordOnly{"Probe.keyword_only", {kwarg("flag")}};
constexpr Signature kCallback{"Probe.hold", {arg("callback")}};
constexpr Signature kMake{"Probe.make", {arg("value")}};
constexpr Signature kConvert{"Probe.convert", {arg("kind"), arg("value")}};

PyObject* tuple_of(const PyObject* const* items, std::size_t n) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = items[i] != nullptr ? const_cast<PyObject*>(items[i]) : Py_None;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
  }
  return tuple.release();
}

PyObject* probe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args<3> a;
  if (!kNew.bind(args, kwargs, a)) return nullptr;
  std::int64_t value = 0, scale = 1;
  std::optional<std::string> tag;
  if (!extract_arg(a[0], "value", value)) return nullptr;
  if (a[1] != nullptr && !extract_arg(a[1], "scale", scale)) return nullptr;
  if (!extract_arg(a[2], "tag", tag)) return nullptr;
  return Class<Probe>::create_in(type, Probe{value * scale});
}

PyObject* probe_three(ProbeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<3> a;
  if (!kThree.bind(args, nargs, kwnames, a)) return nullptr;
  return tuple_of(a.data(), a.size());
}

PyObject* probe_mixed(ProbeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<5> a;
  if (!kMixed.bind(args, nargs, kwnames, a)) return nullptr;
  return tuple_of(a.data(), a.size());
}

PyObject* probe_keyword_only(ProbeObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Args<1> a;
  if (!kKeywordOnly.bind(args, nargs, kwnames, a)) return nullptr;
  std::optional<bool> flag;
  if (!extract_arg(a[0], "flag", flag)) return nullptr;
  return flag ? PyBool_FromLong(*flag) : Py_NewRef(Py_None);
}

PyObject* call_back(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<1> a;
  if (!kCallback.bind(args, nargs, kwnames, a)) return nullptr;
  return PyObject_CallNoArgs(a[0]);
}

// Calls callback() while holding the shared or the exclusive borrow.
PyObject* probe_hold_shared(ProbeObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  SharedBorrow borrow = SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  return call_back(args, nargs, kwnames);
}

PyObject* probe_hold_exclusive(ProbeObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  ExclusiveBorrow borrow = ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  return call_back(args, nargs, kwnames);
}

PyObject* probe_make(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<1> a;
  if (!kMake.bind(args, nargs, kwnames, a)) return nullptr;
  std::int64_t value = 0;
  if (!extract_arg(a[0], "value", value)) return nullptr;
  return probe_class().create(Probe{value});
}

constexpr NoParams kThrow{"Probe.throw_bad_alloc"};
PyObject* probe_throw(ProbeObject*) { throw std::bad_alloc(); }

constexpr NoParams kThrowUnlocked{"Probe.throw_bad_alloc_unlocked"};
PyObject* probe_throw_unlocked(ProbeObject*) {
  allow_threads([] { throw std::bad_alloc(); });
  return nullptr;
}

constexpr NoParams kReleaseLock{"Probe.release_lock"};

PyObject* probe_release_lock(ProbeObject* self) {
  bool held_inside = allow_threads([] { return PyGILState_Check() != 0; });
  if (held_inside) {
    PyErr_SetString(PyExc_AssertionError, "lock still held");
    return nullptr;
  }
  return PyLong_FromLongLong(self->value().value);
}

template <class T>
PyObject* to_python(const T& v);
template <>
PyObject* to_python(const double& v) {
  return PyFloat_FromDouble(v);
}
template <>
PyObject* to_python(const float& v) {
  return PyFloat_FromDouble(v);
}
template <>
PyObject* to_python(const std::int64_t& v) {
  return PyLong_FromLongLong(v);
}
template <>
PyObject* to_python(const std::int32_t& v) {
  return PyLong_FromLong(v);
}
template <>
PyObject* to_python(const std::uint8_t& v) {
  return PyLong_FromLong(v);
}
template <>
PyObject* to_python(const std::uint32_t& v) {
  return PyLong_FromUnsignedLong(v);
}
template <>
PyObject* to_python(const std::size_t& v) {
  return PyLong_FromSize_t(v);
}
template <>
PyObject* to_python(const bool& v) {
  return PyBool_FromLong(v);
}
template <>
PyObject* to_python(const std::string& v) {
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
template <>
PyObject* to_python(const std::optional<double>& v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}
template <class T>
PyObject* list_of(const std::vector<T>& values) {
  Ref list = Ref::steal(PyList_New(0));
  for (const T& v : values) {
    Ref item = Ref::steal(to_python(v));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

template <class T>
PyObject* convert_as(PyObject* value) {
  T out{};
  if (!extract_arg(value, "value", out)) return nullptr;
  if constexpr (requires {
                  out.data();
                  out.size();
                  typename T::value_type;
                } &&
                !std::is_same_v<T, std::string>) {
    return list_of(out);
  } else {
    return to_python(out);
  }
}

// Probe.convert(kind, value): value through one converter, back as Python.
PyObject* probe_convert(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<2> a;
  if (!kConvert.bind(args, nargs, kwnames, a)) return nullptr;
  std::string kind;
  if (!extract_arg(a[0], "kind", kind)) return nullptr;
  PyObject* v = a[1];
  if (kind == "f64") return convert_as<double>(v);
  if (kind == "f32") return convert_as<float>(v);
  if (kind == "i64") return convert_as<std::int64_t>(v);
  if (kind == "i32") return convert_as<std::int32_t>(v);
  if (kind == "u8") return convert_as<std::uint8_t>(v);
  if (kind == "u32") return convert_as<std::uint32_t>(v);
  if (kind == "usize") return convert_as<std::size_t>(v);
  if (kind == "bool") return convert_as<bool>(v);
  if (kind == "str") return convert_as<std::string>(v);
  if (kind == "opt_f64") return convert_as<std::optional<double>>(v);
  if (kind == "vec_usize") return convert_as<std::vector<std::size_t>>(v);
  if (kind == "vec_str") return convert_as<std::vector<std::string>>(v);
  if (kind == "bool3") {
    std::array<bool, 3> flags{};
    if (!extract_tuple_arg(v, "value", flags)) return nullptr;
    return Py_BuildValue("(OOO)", flags[0] ? Py_True : Py_False, flags[1] ? Py_True : Py_False,
                         flags[2] ? Py_True : Py_False);
  }
  if (kind == "probe") {
    ProbeObject* probe = probe_class().extract_arg(v, "value");
    return probe != nullptr ? PyLong_FromLongLong(probe->value().value) : nullptr;
  }
  bool ok = kind == "tuple"   ? expect_tuple(v)
            : kind == "dict"  ? expect_dict(v)
            : kind == "bytes" ? expect_bytes(v)
                              : false;
  if (!ok) {
    remap_arg_error("value");
    return nullptr;
  }
  return Py_NewRef(v);
}

PyObject* probe_get_value(ProbeObject* self) {
  SharedBorrow borrow = SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  return PyLong_FromLongLong(self->value().value);
}

int probe_set_value(ProbeObject* self, PyObject* value) {
  if (value == nullptr) return raise_cant_delete();
  std::int64_t v = 0;
  if (!extract_arg(value, "value", v)) return -1;
  ExclusiveBorrow borrow = ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  self->value().value = v;
  return 0;
}

PyObject* probe_get_peek(ProbeObject* self) {
  SharedBorrow borrow = SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  return PyLong_FromLongLong(self->value().value);
}

PyObject* probe_repr(ProbeObject* self) {
  return PyUnicode_FromFormat("Probe(%lld)", static_cast<long long>(self->value().value));
}

Py_ssize_t probe_len(ProbeObject* self) { return static_cast<Py_ssize_t>(self->value().value); }

PyMethodDef probe_methods[] = {
    method<&probe_three>("three", "three($self, a, b, c)\n--\n\nThree required."),
    method<&probe_mixed>("mixed", "mixed($self, a, b=None, *, c, d, e=None)\n--\n\n"),
    method<&probe_keyword_only>("keyword_only", "keyword_only($self, *, flag=None)\n--\n\n"),
    method<&probe_hold_shared>("hold_shared", nullptr),
    method<&probe_hold_exclusive>("hold_exclusive", nullptr),
    method<&probe_throw, kThrow>("throw_bad_alloc", nullptr),
    method<&probe_throw_unlocked, kThrowUnlocked>("throw_bad_alloc_unlocked", nullptr),
    method<&probe_release_lock, kReleaseLock>("release_lock", nullptr),
    method<&probe_make>("make", "make(value)\n--\n\nA new probe."),
    method<&probe_convert>("convert", nullptr),
    kEndMethods,
};

PyGetSetDef probe_properties[] = {
    property<&probe_get_value, &probe_set_value>("value", "The value"),
    property<&probe_get_peek>("peek", "The value, panicking on a conflict"),
    kEndProperties,
};

PyType_Slot probe_slots[] = {
    {Py_tp_doc, const_cast<char*>("Probe(value, scale=1, *, tag=None)\n--\n\nA test class")},
    {Py_tp_new, slot<&probe_new>()},
    {Py_tp_dealloc, Class<Probe>::dealloc_slot()},
    {Py_tp_repr, slot<&probe_repr>()},
    {Py_sq_length, slot<&probe_len>()},
    {Py_tp_methods, probe_methods},
    {Py_tp_getset, probe_properties},
    {0, nullptr},
};

PyType_Spec probe_spec = {"builtins.Probe", sizeof(ProbeObject), 0, Py_TPFLAGS_DEFAULT,
                          probe_slots};
Class<Probe> probe_cls{&probe_spec};
Class<Probe>& probe_class() { return probe_cls; }

// A class whose creation fails: slot id out of range.
PyType_Slot broken_slots[] = {{9999, nullptr}, {0, nullptr}};
PyType_Spec broken_spec = {"builtins.Broken", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                           broken_slots};
ClassCell broken_class{&broken_spec};

constexpr Signature kPing{"ping", {arg("payload")}};
PyObject* module_ping(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  Args<1> a;
  if (!kPing.bind(args, nargs, kwnames, a)) return nullptr;
  return Py_BuildValue("(OO)", module, a[0]);
}
PyMethodDef ping_def = function<&module_ping>("ping", "ping(payload)\n--\n\n");

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    globals_ = Ref::steal(PyDict_New());
    ASSERT_TRUE(globals_);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "Probe",
                                   reinterpret_cast<PyObject*>(probe_class().get())),
              0);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "PanicException", panic_exception_type()), 0);
    ASSERT_EQ(run("import numpy\np = Probe(7)"), "");
  }
  void TearDown() override { EXPECT_FALSE(PyErr_Occurred()); }

  // Runs statements; "" or the error as "Type: message".
  std::string run(const std::string& code) {
    Ref result =
        Ref::steal(PyRun_String(code.c_str(), Py_file_input, globals_.get(), globals_.get()));
    return result ? std::string() : take_error_text();
  }
  // The repr of an expression's value, or its error as "Type: message".
  std::string eval(const std::string& expr) {
    Ref result =
        Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals_.get(), globals_.get()));
    if (!result) return take_error_text();
    Ref text = Ref::steal(PyObject_Repr(result.get()));
    return text ? PyUnicode_AsUTF8(text.get()) : take_error_text();
  }

  struct Case {
    const char* expr;
    const char* expected;
  };
  void expect_all(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(eval(c.expr), c.expected) << c.expr;
  }

  Ref globals_;
};

// ---- Tests -----------------------------------------------------------------

TEST_F(Binding, MissingArguments) {
  expect_all({
      {"Probe()", "TypeError: Probe.__new__() missing 1 required positional argument: 'value'"},
      {"Probe.make()", "TypeError: Probe.make() missing 1 required positional argument: 'value'"},
      {"p.three()",
       "TypeError: Probe.three() missing 3 required positional arguments: 'a', 'b', and 'c'"},
      {"p.three(1)",
       "TypeError: Probe.three() missing 2 required positional arguments: 'b' and 'c'"},
      {"p.three(1, 2)", "TypeError: Probe.three() missing 1 required positional argument: 'c'"},
      {"p.three(c=3, a=1)", "TypeError: Probe.three() missing 1 required positional argument: 'b'"},
      {"p.mixed(c=1)", "TypeError: Probe.mixed() missing 1 required positional argument: 'a'"},
      {"p.mixed(1)",
       "TypeError: Probe.mixed() missing 2 required keyword-only arguments: 'c' and 'd'"},
      {"p.mixed(1, 2, d=4)",
       "TypeError: Probe.mixed() missing 1 required keyword-only argument: 'c'"},
  });
}

TEST_F(Binding, TooManyPositional) {
  expect_all({
      {"p.three(1, 2, 3, 4)",
       "TypeError: Probe.three() takes 3 positional arguments but 4 were given"},
      {"Probe.make(1, 2)", "TypeError: Probe.make() takes 1 positional arguments but 2 were given"},
      {"p.keyword_only(1)",
       "TypeError: Probe.keyword_only() takes 0 positional arguments but 1 was given"},
      {"p.mixed(1, 2, 3, c=3, d=4)",
       "TypeError: Probe.mixed() takes from 1 to 2 positional arguments but 3 were given"},
      {"Probe(1, 2, 3)",
       "TypeError: Probe.__new__() takes from 1 to 2 positional arguments but 3 were given"},
      {"p.release_lock(1)",
       "TypeError: Probe.release_lock() takes 0 positional arguments but 1 was given"},
      {"p.release_lock(x=1)",
       "TypeError: Probe.release_lock() got an unexpected keyword argument 'x'"},
  });
}

TEST_F(Binding, KeywordErrors) {
  expect_all({
      {"p.three(1, 2, 3, a=1)", "TypeError: Probe.three() got multiple values for argument 'a'"},
      {"p.mixed(1, 2, b=2, c=3, d=4)",
       "TypeError: Probe.mixed() got multiple values for argument 'b'"},
      {"Probe(1, value=2)", "TypeError: Probe.__new__() got multiple values for argument 'value'"},
      {"p.mixed(1, c=3, d=4, f=5)",
       "TypeError: Probe.mixed() got an unexpected keyword argument 'f'"},
      {"p.mixed(1, **{'c': 3, 'd': 4, 'ä': 5})",
       "TypeError: Probe.mixed() got an unexpected keyword argument 'ä'"},
      {"Probe(1, tag='t', colour=2)",
       "TypeError: Probe.__new__() got an unexpected keyword argument 'colour'"},
      // Keywords are checked before missing arguments.
      {"p.three(x=1)", "TypeError: Probe.three() got an unexpected keyword argument 'x'"},
  });
}

TEST_F(Binding, ArgumentsLandInTheirParameters) {
  expect_all({
      {"p.three(c=3, b=2, a=1)", "(1, 2, 3)"},
      {"p.three(1, c=3, b=2)", "(1, 2, 3)"},
      {"p.mixed(1, c=3, d=4)", "(1, None, 3, 4, None)"},
      {"p.mixed(d=4, e=5, c=3, b=2, a=1)", "(1, 2, 3, 4, 5)"},
      {"p.keyword_only()", "None"},
      {"Probe(3, 2).value", "6"},
      {"Probe(value=3, tag='t', scale=2).value", "6"},
      {"Probe(3, tag=None).value", "3"},
      {"Probe(1, tag=5)",
       "TypeError: argument 'tag': 'int' object cannot be converted to 'PyString'"},
      {"Probe.make(value=4).value", "4"},
      {"p.make(5).value", "5"},
  });
}

TEST_F(Binding, NumericConversions) {
  expect_all({
      {"Probe.convert('f64', 1.5)", "1.5"},
      {"Probe.convert('f64', 3)", "3.0"},
      {"Probe.convert('f64', '1')", "TypeError: argument 'value': must be real number, not str"},
      {"Probe.convert('f32', 0.1)", "0.10000000149011612"},
      {"Probe.convert('f32', -1e300)", "-inf"},
      {"Probe.convert('i64', 2**63 - 1)", "9223372036854775807"},
      {"Probe.convert('i64', -2**63)", "-9223372036854775808"},
      {"Probe.convert('i64', 2**63)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('i64', 1.0)",
       "TypeError: argument 'value': 'float' object cannot be interpreted as an integer"},
      {"Probe.convert('i64', numpy.int16(-3))", "-3"},
      {"Probe.convert('i32', -2**31)", "-2147483648"},
      {"Probe.convert('i32', 2**31)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('u8', 255)", "255"},
      {"Probe.convert('u8', True)", "1"},
      {"Probe.convert('u8', 256)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('u8', -1)", "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('u32', 2**32)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('usize', 2**64 - 1)", "18446744073709551615"},
      {"Probe.convert('usize', 2**64)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('usize', -1)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('usize', -2**70)",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('usize', '3')",
       "TypeError: argument 'value': 'str' object cannot be interpreted as an integer"},
  });
}

TEST_F(Binding, BoolStrAndTypeConversions) {
  expect_all({
      {"Probe.convert('bool', True)", "True"},
      {"Probe.convert('bool', numpy.bool_(True))", "True"},
      {"Probe.convert('bool', numpy.bool_(False))", "False"},
      {"Probe.convert('bool', 1)",
       "TypeError: argument 'value': 'int' object cannot be converted to 'PyBool'"},
      {"Probe.convert('bool', None)",
       "TypeError: argument 'value': 'NoneType' object cannot be converted to 'PyBool'"},
      {"Probe.convert('bool', numpy.int8(1))",
       "TypeError: argument 'value': 'int8' object cannot be converted to 'PyBool'"},
      {"p.keyword_only(flag=numpy.bool_(True))", "True"},
      {"p.keyword_only(flag=0)",
       "TypeError: argument 'flag': 'int' object cannot be converted to 'PyBool'"},
      {"Probe.convert('str', 'h\\u00e9llo')", "'héllo'"},
      {"Probe.convert('str', b'x')",
       "TypeError: argument 'value': 'bytes' object cannot be converted to 'PyString'"},
      // Not a TypeError: passes without the argument name.
      {"Probe.convert('str', '\\ud800')",
       "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
       "surrogates not allowed"},
      {"Probe.convert('opt_f64', None)", "None"},
      {"Probe.convert('opt_f64', 2)", "2.0"},
      {"Probe.convert('opt_f64', 'x')",
       "TypeError: argument 'value': must be real number, not str"},
      {"Probe.convert('probe', Probe(4))", "4"},
      {"Probe.convert('probe', 4)",
       "TypeError: argument 'value': 'int' object cannot be converted to 'Probe'"},
      {"Probe.convert('tuple', [])",
       "TypeError: argument 'value': 'list' object cannot be converted to 'PyTuple'"},
      {"Probe.convert('dict', [])",
       "TypeError: argument 'value': 'list' object cannot be converted to 'PyDict'"},
      {"Probe.convert('bytes', bytearray())",
       "TypeError: argument 'value': 'bytearray' object cannot be converted to 'PyBytes'"},
      {"Probe.convert('bytes', b'ok')", "b'ok'"},
  });
}

TEST_F(Binding, SequenceAndTupleConversions) {
  expect_all({
      {"Probe.convert('vec_usize', [1, 2, 3])", "[1, 2, 3]"},
      {"Probe.convert('vec_usize', (4,))", "[4]"},
      {"Probe.convert('vec_usize', range(3))", "[0, 1, 2]"},
      {"Probe.convert('vec_usize', numpy.array([5, 6]))", "[5, 6]"},
      {"Probe.convert('vec_usize', [])", "[]"},
      {"Probe.convert('vec_usize', '12')",
       "TypeError: argument 'value': Can't extract `str` to `Vec`"},
      {"Probe.convert('vec_str', 'ab')",
       "TypeError: argument 'value': Can't extract `str` to `Vec`"},
      {"Probe.convert('vec_usize', {1: 2})",
       "TypeError: argument 'value': 'dict' object cannot be converted to 'Sequence'"},
      {"Probe.convert('vec_usize', iter([1]))",
       "TypeError: argument 'value': 'list_iterator' object cannot be converted to 'Sequence'"},
      {"Probe.convert('vec_usize', [1, -1])",
       "OverflowError: out of range integral type conversion attempted"},
      {"Probe.convert('vec_usize', [1, 'a'])",
       "TypeError: argument 'value': 'str' object cannot be interpreted as an integer"},
      {"Probe.convert('vec_str', ('a', 'b'))", "['a', 'b']"},
      {"Probe.convert('vec_str', ['a', 1])",
       "TypeError: argument 'value': 'int' object cannot be converted to 'PyString'"},
      {"Probe.convert('bool3', (True, False, numpy.bool_(True)))", "(True, False, True)"},
      {"Probe.convert('bool3', [True, True, True])",
       "TypeError: argument 'value': 'list' object cannot be converted to 'PyTuple'"},
      {"Probe.convert('bool3', (True, True))",
       "ValueError: expected tuple of length 3, but got tuple of length 2"},
      {"Probe.convert('bool3', (1, 0, 1))",
       "TypeError: argument 'value': 'int' object cannot be converted to 'PyBool'"},
  });
}

TEST_F(Binding, BorrowConflicts) {
  expect_all({
      {"p.hold_shared(lambda: p.hold_shared(lambda: p.value))", "7"},
      {"p.hold_exclusive(lambda: p.value)", "RuntimeError: Already mutably borrowed"},
      {"p.hold_exclusive(lambda: p.hold_shared(lambda: 0))",
       "RuntimeError: Already mutably borrowed"},
      {"p.hold_shared(lambda: p.hold_exclusive(lambda: 0))", "RuntimeError: Already borrowed"},
      {"p.hold_exclusive(lambda: p.hold_exclusive(lambda: 0))", "RuntimeError: Already borrowed"},
      {"p.hold_shared(lambda: setattr(p, 'value', 1))", "RuntimeError: Already borrowed"},
      {"p.hold_exclusive(lambda: p.peek)", "PanicException: Already mutably borrowed"},
      {"p.hold_shared(lambda: p.peek)", "7"},
      // Another object's flag is its own.
      {"p.hold_exclusive(lambda: Probe(2).hold_exclusive(lambda: 'inner'))", "'inner'"},
      // Guards let go on every path, errors included.
      {"p.hold_exclusive(lambda: 1 / 0)", "ZeroDivisionError: division by zero"},
      {"p.hold_exclusive(lambda: 'free again')", "'free again'"},
  });
  EXPECT_EQ(run("p.value = 9"), "");
  EXPECT_EQ(eval("p.value"), "9");
}

TEST(BorrowFlag, CountsReadersAndOneWriter) {
  BorrowFlag flag;
  EXPECT_TRUE(flag.try_shared());
  EXPECT_TRUE(flag.try_shared());
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_shared();
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_shared();
  EXPECT_TRUE(flag.try_exclusive());
  EXPECT_FALSE(flag.try_shared());
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_exclusive();
  EXPECT_TRUE(flag.is_free());
}

TEST_F(Binding, PanicExceptionEscapesExceptHandlers) {
  expect_all({
      {"issubclass(PanicException, BaseException)", "True"},
      {"issubclass(PanicException, Exception)", "False"},
      {"PanicException.__name__", "'PanicException'"},
  });
  EXPECT_EQ(run("try:\n  p.hold_exclusive(lambda: p.peek)\nexcept Exception:\n  pass\n"),
            "PanicException: Already mutably borrowed");
  EXPECT_EQ(panic_exception_type(), panic_exception_type());
}

TEST_F(Binding, PropertiesAndSlots) {
  expect_all({
      {"Probe.value.__doc__", "'The value'"},
      {"p.value", "7"},
      {"len(Probe(3))", "3"},
      {"repr(Probe(-2))", "'Probe(-2)'"},
      {"Probe.__text_signature__", "'(value, scale=1, *, tag=None)'"},
      {"Probe.__doc__", "'A test class'"},
      {"Probe.three.__text_signature__", "'($self, a, b, c)'"},
      {"Probe.make.__text_signature__", "'(value)'"},
      {"Probe.__module__", "'builtins'"},
  });
  EXPECT_EQ(run("del p.value"), "AttributeError: can't delete attribute");
  EXPECT_EQ(run("p.peek = 1"),
            "AttributeError: attribute 'peek' of 'builtins.Probe' objects is not writable");
  EXPECT_EQ(run("p.value = 'x'"),
            "TypeError: argument 'value': 'str' object cannot be interpreted as an integer");
  EXPECT_EQ(run("p.other = 1"), "AttributeError: 'builtins.Probe' object has no attribute 'other'");
  EXPECT_EQ(run("class Sub(Probe): pass"),
            "TypeError: type 'builtins.Probe' is not an acceptable base type");
  EXPECT_EQ(run("import weakref\nweakref.ref(p)"),
            "TypeError: cannot create weak reference to 'builtins.Probe' object");
}

// Every path, errors included, gives back all it takes: repeating a call
// must not grow the traced memory.
TEST_F(Binding, NoReferenceLeaks) {
  ASSERT_EQ(run(R"(
import gc, tracemalloc
def growth(expr):
    code = compile(expr, expr, "eval")
    def once():
        try:
            eval(code)
        except BaseException:
            pass
    for _ in range(100):
        once()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(1000):
        once()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before
tracemalloc.start()
)"),
            "");
  const char* exprs[] = {
      "Probe(3, 2, tag='t')",
      "Probe(1, 2, 3)",
      "Probe(1, value=2)",
      "Probe(1, tag=5)",
      "p.three(1, 2, 3)",
      "p.three(1)",
      "p.mixed(1)",
      "p.mixed(1, c=3, d=4, f=5)",
      "p.three(1, 2, 3, a=1)",
      "Probe.make(5)",
      "Probe.convert('u8', 256)",
      "Probe.convert('f64', 'x')",
      "Probe.convert('str', chr(0xd800))",
      "Probe.convert('vec_usize', [1, 2, 'a'])",
      "Probe.convert('vec_str', ['a', 'b'])",
      "Probe.convert('bool3', (True, False, True))",
      "Probe.convert('bool3', (True, 1, True))",
      "Probe.convert('probe', None)",
      "p.hold_exclusive(lambda: p.value)",
      "p.hold_exclusive(lambda: p.peek)",
      "p.throw_bad_alloc()",
      "p.release_lock()",
  };
  for (const char* expr : exprs) {
    std::string growth = eval(std::string("growth(") + '"' + expr + '"' + ")");
    ASSERT_EQ(growth.find_first_not_of("-0123456789"), std::string::npos) << expr << growth;
    EXPECT_LT(std::stol(growth), 1000) << expr;
  }
  // The measure itself sees a leak of one small object per call.
  EXPECT_EQ(run("kept = []"), "");
  EXPECT_GT(std::stol(eval("growth('kept.append(object())')")), 10000);
  EXPECT_EQ(run("tracemalloc.stop()"), "");
}

// A raise helper's result is the failure value of whatever its caller
// returns; a number or an optional, which could pass for a value, takes none.
static_assert(!std::is_convertible_v<Raised, int> && !std::is_convertible_v<Raised, Py_ssize_t> &&
              !std::is_constructible_v<std::optional<int>, Raised>);

TEST_F(Binding, RaiseHelpersSetTheExceptionAndGiveTheFailureValue) {
  const bool status = raise_value_error(std::string_view("bad\0value", 9));
  EXPECT_FALSE(status);
  EXPECT_EQ(take_error_text(), std::string("ValueError: bad\0value", 21));
  PyObject* object = raise_error(PyExc_KeyError, "Property 'k' not found");
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(take_error_text(), "KeyError: \"Property 'k' not found\"");
  const Ref ref = raise_engine_error(crivane::Error::invalid_data("Invalid file format"));
  EXPECT_FALSE(ref);
  EXPECT_EQ(take_error_text(), "ValueError: Invalid data: Invalid file format");
  EXPECT_EQ(static_cast<PyObject*>(raise_engine_error(crivane::Error::out_of_memory())), nullptr);
  EXPECT_EQ(take_error_text(), "MemoryError: ");
}

TEST_F(Binding, CppExceptionsBecomePythonErrors) {
  EXPECT_EQ(eval("p.throw_bad_alloc()"), "MemoryError: ");
}

TEST_F(Binding, AllowThreadsReleasesTheLock) {
  EXPECT_EQ(eval("p.release_lock()"), "7");
  EXPECT_TRUE(PyGILState_Check());
  // An exception from the released section comes out with the lock held again.
  EXPECT_EQ(eval("p.throw_bad_alloc_unlocked()"), "MemoryError: ");
  EXPECT_TRUE(PyGILState_Check());
}

TEST_F(Binding, ClassCellKeepsOneClassObject) {
  PyTypeObject* first = probe_class().get();
  EXPECT_EQ(probe_class().get(), first);
  EXPECT_STREQ(probe_class().name(), "Probe");
  Ref made = Ref::steal(probe_class().create(Probe{3}));
  ASSERT_TRUE(made);
  EXPECT_EQ(Py_TYPE(made.get()), first);
  EXPECT_TRUE(probe_class().check(made.get()));
  EXPECT_FALSE(probe_class().check(Py_None));
  EXPECT_FALSE(PyObject_GC_IsTracked(made.get()));
}

TEST_F(Binding, ModuleRegistration) {
  Ref module = Ref::steal(PyModule_New("regmod"));
  ASSERT_TRUE(module);
  ASSERT_TRUE(add_class(module.get(), probe_class()));
  ASSERT_TRUE(add_function(module.get(), &ping_def));
  ASSERT_EQ(PyDict_SetItemString(globals_.get(), "regmod", module.get()), 0);
  expect_all({
      {"regmod.__all__", "['Probe', 'ping']"},
      {"regmod.Probe is Probe", "True"},
      {"regmod.ping.__self__ is regmod", "True"},
      {"regmod.ping(payload=3)[1]", "3"},
      {"regmod.ping.__text_signature__", "'(payload)'"},
      {"regmod.ping()", "TypeError: ping() missing 1 required positional argument: 'payload'"},
  });

  // A class that cannot be made fails the registration with its cause chained.
  EXPECT_FALSE(add_class(module.get(), broken_class));
  Ref exc = fetch_error();
  ASSERT_TRUE(exc);
  ASSERT_TRUE(PyErr_GivenExceptionMatches(exc.get(), PyExc_RuntimeError));
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(text.get()), "An error occurred while initializing class Broken");
  Ref cause = Ref::steal(PyException_GetCause(exc.get()));
  EXPECT_TRUE(cause);
  EXPECT_EQ(eval("regmod.__all__"), "['Probe', 'ping']");
}

TEST_F(Binding, OnceCellKeepsTheFirstSuccess) {
  static OnceCell cell;
  int calls = 0;
  auto failing = [&]() -> PyObject* {
    ++calls;
    PyErr_SetString(PyExc_ValueError, "not yet");
    return nullptr;
  };
  auto making = [&]() -> PyObject* {
    ++calls;
    return PyList_New(0);
  };
  EXPECT_EQ(cell.get_or_try_init(failing), nullptr);
  EXPECT_EQ(take_error_text(), "ValueError: not yet");
  EXPECT_EQ(cell.get(), nullptr);
  PyObject* stored = cell.get_or_try_init(making);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(cell.get_or_try_init(making), stored);
  EXPECT_EQ(cell.get(), stored);
  EXPECT_EQ(calls, 2);
}

TEST_F(Binding, RefCountsReferences) {
  PyObject* list = PyList_New(0);
  ASSERT_NE(list, nullptr);
  {
    Ref owner = Ref::steal(list);
    EXPECT_EQ(Py_REFCNT(list), 1);
    {
      Ref second = Ref::new_ref(list);
      EXPECT_EQ(Py_REFCNT(list), 2);
      Ref moved = std::move(second);
      EXPECT_FALSE(second);
      EXPECT_EQ(moved.get(), list);
      EXPECT_EQ(Py_REFCNT(list), 2);
    }
    EXPECT_EQ(Py_REFCNT(list), 1);
    PyObject* raw = owner.release();
    EXPECT_FALSE(owner);
    Ref back = Ref::steal(raw);
    EXPECT_EQ(Py_REFCNT(list), 1);
    Py_INCREF(list);  // keep it past the scope to look at it
  }
  EXPECT_EQ(Py_REFCNT(list), 1);
  Py_DECREF(list);
}

TEST_F(Binding, NumpyTableIsFetchedOnDemand) {
  ASSERT_TRUE(ensure_numpy());
  ASSERT_TRUE(ensure_numpy());
  npy_intp dims[1] = {4};
  Ref array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT32));
  ASSERT_TRUE(array);
  EXPECT_TRUE(PyArray_Check(array.get()));
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  EXPECT_EQ(PyArray_TYPE(arr), NPY_FLOAT32);
  EXPECT_EQ(PyArray_SIZE(arr), 4);
}

// A vector allocator that counts frees, to see when an adopted buffer goes.
int g_adopted_frees = 0;
template <class T>
struct CountingAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = CountingAllocator<U>;
  };
  CountingAllocator() = default;
  template <class U>
  CountingAllocator(const CountingAllocator<U>&) noexcept {}
  void deallocate(T* p, std::size_t n) {
    ++g_adopted_frees;
    std::allocator<T>::deallocate(p, n);
  }
};

TEST_F(Binding, NumpyFactoryMakesEveryDtypeAndShape) {
  ASSERT_TRUE(ensure_numpy());
  const std::uint32_t u32[6] = {1, 2, 3, 4, 5, 4000000000u};
  const std::size_t shape[] = {1, 2, 3};
  struct Case {
    Ref array;
    const char* dtype;
    const char* expect;
  } cases[] = {
      {numpy::copy(u32, numpy::Shape(shape)), "uint32", "[[[1, 2, 3], [4, 5, 4000000000]]]"},
      {numpy::adopt(std::vector<std::uint8_t>{1, 0, 1}, {3}, numpy::bool_type), "bool",
       "[True, False, True]"},
      {numpy::adopt(std::vector<std::int64_t>{-1, 2, -3, 4}, {2, 2}), "int64",
       "[[-1, 2], [-3, 4]]"},
      {numpy::adopt(std::vector<float>{}, {0, 3}), "float32", "[]"},
      {numpy::copy(std::vector<double>{0.5}.data(), {}), "float64", "0.5"},
      {numpy::reshape(numpy::adopt(std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}), {3, 2}), "int32",
       "[[1, 2], [3, 4], [5, 6]]"},
  };
  for (auto& c : cases) {
    ASSERT_TRUE(c.array) << c.dtype << ": " << take_error_text();
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "a", c.array.get()), 0);
    EXPECT_EQ(eval("str(a.dtype)"), std::string("'") + c.dtype + "'");
    EXPECT_EQ(eval("a.tolist()"), c.expect) << c.dtype;
    EXPECT_EQ(eval("a.flags.writeable and a.flags.c_contiguous"), "True") << c.dtype;
  }
  EXPECT_EQ(eval("a.shape"), "(3, 2)");
  EXPECT_EQ(run("del a"), "");
}

TEST_F(Binding, AdoptedBufferLivesAsLongAsItsLastView) {
  ASSERT_TRUE(ensure_numpy());
  g_adopted_frees = 0;
  std::vector<double, CountingAllocator<double>> values{1, 2, 3, 4};
  const double* address = values.data();
  Ref array = numpy::adopt(std::move(values), {2, 2});
  ASSERT_TRUE(array);
  EXPECT_EQ(numpy::data(array), address);  // no copy
  ASSERT_EQ(PyDict_SetItemString(globals_.get(), "a", array.get()), 0);
  array.reset();
  EXPECT_EQ(run("v = a[1:]\ndel a"), "");
  EXPECT_EQ(g_adopted_frees, 0);
  EXPECT_EQ(eval("v.tolist()"), "[[3.0, 4.0]]");
  EXPECT_EQ(run("del v"), "");
  EXPECT_EQ(g_adopted_frees, 1);
}

TEST_F(Binding, ReshapeMismatchIsAValueErrorWithNumpysText) {
  ASSERT_TRUE(ensure_numpy());
  Ref bad = numpy::reshape(numpy::adopt(std::vector<float>{1, 2, 3}), {2, 2});
  EXPECT_FALSE(bad);
  EXPECT_EQ(take_error_text(),
            "ValueError: ValueError: cannot reshape array of size 3 into shape (2,2)");
}

}  // namespace
}  // namespace crivane_rs::py
