// The extension module _varnett: the Python classes that turn caller data into the core's records,
// and the binding layer they share.
//
// Every class is an immutable heap type holding one core value by value; it is built only through
// its constructor (`__new__`) and holds no references to Python objects. A constructor binds its
// arguments by name, converts them one by one in declaration order, validates, builds the core
// value and only then allocates the Python object, so a failed call leaves nothing behind.
//
// Layout of this file:
//   1. owning references and the C++-exception barrier (`guarded`)
//   2. argument binding (`Signature`, `BoundArguments`)
//   3. conversions: extractors (`extract_*`, no note) and argument converters (`to_*`, which add
//      the "while processing" note in one place), plus the array readers
//   4. the class shells (`Shell`, `construct`, `dealloc`, `class_type`)
//   5. the classes
//   6. the module definition and its entry points
//
// A new class is a struct with `Held`, `name`, `qualified_name`, `doc`, `signature` and `build`
// (deriving from `PlainClass` or giving its own `properties`/`methods`), plus one line in
// `module_classes`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "config.hpp"
#include "error.hpp"
#include "input.hpp"
#include "sim.hpp"
#include "state.hpp"

namespace {

namespace config = tolvane::config;
namespace input = tolvane::input;
namespace sim = tolvane::sim;
namespace state = tolvane::state;
using tolvane::format;

// ---------------------------------------------------------------------------------------------
// 1. Owning references and the C++-exception barrier

// An owned reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* owned) { return Ref(owned); }
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* owned) : object_(owned) {}
  PyObject* object_ = nullptr;
};

// Returns the process-wide object kept in `slot`, creating it with `make` (which returns a new
// reference or null with an error set) on first use. Two threads may race to create it; the
// loser's object is dropped and both get the winner's. The object is never released.
template <class Make>
PyObject* once_per_process(std::atomic<PyObject*>& slot, Make&& make) {
  if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
  PyObject* fresh = make();
  if (fresh == nullptr) return nullptr;
  PyObject* winner = nullptr;
  if (slot.compare_exchange_strong(winner, fresh, std::memory_order_acq_rel)) return fresh;
  Py_DECREF(fresh);
  return winner;
}

// The internal-error exception: a broken invariant of the core. It derives directly from
// BaseException so that `except Exception` handlers do not swallow it. It is deliberately not a
// module attribute.
PyObject* internal_error_type() {
  static std::atomic<PyObject*> type{nullptr};
  return once_per_process(type, [] {
    return PyErr_NewException("_varnett.InternalError", PyExc_BaseException, nullptr);
  });
}

void raise_internal_error(const char* message) {
  if (PyObject* type = internal_error_type()) PyErr_SetString(type, message);
}

// Runs the C++ body of an entry point; `failed` is what the entry point returns when a Python
// error is set (null or -1). No C++ exception crosses into the interpreter: a broken invariant
// becomes the internal-error exception with the message as its only argument, an allocation
// failure MemoryError. Code that releases the interpreter lock must re-acquire it in a destructor,
// so that the lock is held again when a handler here runs.
template <class Body>
auto guarded(Body&& body, std::invoke_result_t<Body&> failed) noexcept
    -> std::invoke_result_t<Body&> {
  try {
    return body();
  } catch (const tolvane::InternalError& error) {
    raise_internal_error(error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a container was asked for more elements than it can address
  } catch (const std::exception& error) {
    raise_internal_error(error.what());
  } catch (...) {
    raise_internal_error("an unknown C++ exception reached the module boundary");
  }
  return failed;
}

// Sets `type` with `message` and returns nullopt, so that a builder can `return raise(...)`.
std::nullopt_t raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// 2. Argument binding

// A callable's parameters as its text signature lists them: the first `positional` may be given
// positionally or by keyword, the rest only by keyword. Every parameter is required.
struct Signature {
  const char* full_name;  // "{class}.{method}()", as binding errors name the callable
  std::span<const char* const> names;
  std::size_t positional;
};

// One bound argument: the object (kept alive by the BoundArguments it came from) and the
// parameter's name.
struct Argument {
  PyObject* object;
  const char* name;
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += format("'{}'", names[i]);
  }
  return text;
}

// The arguments of one call, bound to a signature. Holds a reference to every bound object, so
// the objects outlive the call's own tuple and dict whatever conversions do meanwhile.
class BoundArguments {
 public:
  explicit BoundArguments(const Signature& signature)
      : signature_(signature), values_(signature.names.size()) {}

  // Binds the call's positional tuple and keyword dict (or null). On failure sets TypeError with
  // the standard binding message and returns false. Checks run in this order: too many
  // positional arguments, then each keyword in the call's order (unknown, given twice), then
  // missing positional parameters, then missing keyword-only parameters.
  bool bind(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const auto positional = static_cast<Py_ssize_t>(signature_.positional);
    if (given > positional) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                   signature_.full_name, positional, given, given == 1 ? "was" : "were");
      return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) values_[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr) {
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        const std::optional<std::size_t> index = index_of(key);
        if (!index) {
          PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                       signature_.full_name, key);
          return false;
        }
        if (values_[*index]) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                       signature_.full_name, signature_.names[*index]);
          return false;
        }
        values_[*index] = Ref::borrow(value);
      }
    }
    return none_missing(0, signature_.positional, "positional") &&
           none_missing(signature_.positional, values_.size(), "keyword");
  }

  // The bound argument of the parameter `name` (which must be one of the signature's).
  Argument operator[](std::string_view name) const {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      if (name == signature_.names[i]) return Argument{values_[i].get(), signature_.names[i]};
    }
    tolvane::fail("{} has no parameter '{}'", signature_.full_name, name);
  }

 private:
  std::optional<std::size_t> index_of(PyObject* key) const {
    if (!PyUnicode_Check(key)) return std::nullopt;
    for (std::size_t i = 0; i < signature_.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature_.names[i]) == 0) return i;
    }
    return std::nullopt;
  }

  // Checks that parameters [begin, end) are bound; `kind` is "positional" or "keyword".
  bool none_missing(std::size_t begin, std::size_t end, const char* kind) const {
    std::vector<const char*> missing;
    for (std::size_t i = begin; i < end; ++i) {
      if (!values_[i]) missing.push_back(signature_.names[i]);
    }
    if (missing.empty()) return true;
    const std::string message =
        format("{} missing {} required {} {}: ", signature_.full_name, missing.size(), kind,
               missing.size() == 1 ? "argument" : "arguments") +
        quoted_list(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }

  const Signature& signature_;
  std::vector<Ref> values_;
};

// ---------------------------------------------------------------------------------------------
// 3. Conversions

// The error being raised, taken out of the interpreter as one normalised exception object.
Ref take_raised_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_raised_error(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Adds the note "while processing '{name}'" to the error being raised (as `add_note` does),
// keeping its class and message. Should the note itself fail, that failure is raised instead.
void note_while_processing(const char* name) {
  Ref error = take_raised_error();
  if (!error) return;
  const Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (!note) return;
  const Ref added = Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
  if (!added) return;
  restore_raised_error(std::move(error));
}

// TypeError "'{type}' object is not an instance of '{expected}'", or "'None' is not an instance of
// '{expected}'". Returns false for the converters' convenience.
bool raise_class_mismatch(PyObject* given, const char* expected) {
  if (given == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return false;
  }
  const Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(given)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
                 expected);
  }
  return false;
}

// Extractors: convert one object, setting the Python error on failure (without a note).

// Whatever the interpreter's float conversion takes (float, int, __float__, __index__).
bool extract_f64(PyObject* object, double& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// As extract_f64, then rounded to single precision.
bool extract_f32(PyObject* object, float& out) {
  double wide = 0.0;
  if (!extract_f64(object, wide)) return false;
  out = static_cast<float>(wide);
  return true;
}

// Whatever the interpreter's integer conversion takes (int, __index__), within 32 bits.
bool extract_i32(PyObject* object, std::int32_t& out) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow > 0 || value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return false;
  }
  if (overflow < 0 || value < std::numeric_limits<std::int32_t>::min()) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

// A sequence's reported length is only a hint for reserving memory, trusted up to this many
// items: a sequence may report any length, and a longer one grows the vector as items arrive.
constexpr Py_ssize_t kLargestTrustedLengthHint = Py_ssize_t{1} << 16;

// Any object that passes the interpreter's sequence check, except str; its items are converted by
// `extract_item` (an object -> std::optional<T>, nullopt with an error set) in iteration order.
template <class T, class ExtractItem>
bool extract_sequence(PyObject* object, std::vector<T>& out, ExtractItem&& extract_item) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a sequence of items");
    return false;
  }
  if (!PySequence_Check(object)) return raise_class_mismatch(object, "Sequence");
  const Py_ssize_t length_hint = PySequence_Size(object);
  if (length_hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min(length_hint, kLargestTrustedLengthHint)));
  }
  const Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (const Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    std::optional<T> value = extract_item(item.get());
    if (!value) return false;
    out.push_back(std::move(*value));
  }
  return PyErr_Occurred() == nullptr;
}

template <class T>
constexpr int numpy_type_number() {
  if constexpr (std::is_same_v<T, float>) {
    return NPY_FLOAT32;
  } else if constexpr (std::is_same_v<T, double>) {
    return NPY_FLOAT64;
  } else {
    static_assert(std::is_same_v<T, std::uint64_t>, "no NumPy dtype for this element type");
    return NPY_UINT64;
  }
}

// An accepted NumPy array of element type T and exactly `Rank` dimensions, described as it was
// when it was converted (later Python code could reshape the array object in place; its data
// stay where they are while the bound arguments hold it). Read only, never copied.
template <class T, int Rank>
struct NdArray {
  const char* data = nullptr;
  std::array<npy_intp, Rank> shape{};
  std::array<npy_intp, Rank> strides{};  // bytes, possibly negative
  bool contiguous_and_aligned = false;
};

// A numpy.ndarray (or subclass) with exactly `Rank` dimensions and a dtype equivalent to T's
// (same kind, size and byte order); nothing is cast or copied.
template <class T, int Rank>
bool extract_array(PyObject* object, NdArray<T, Rank>& out) {
  if (!PyArray_Check(object)) return raise_class_mismatch(object, "ndarray");
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != Rank) return raise_class_mismatch(object, "ndarray");
  const Ref expected =
      Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(numpy_type_number<T>())));
  if (!expected) return false;
  if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get()))) {
    return raise_class_mismatch(object, "ndarray");
  }
  out.data = static_cast<const char*>(PyArray_DATA(array));
  std::copy_n(PyArray_DIMS(array), Rank, out.shape.begin());
  std::copy_n(PyArray_STRIDES(array), Rank, out.strides.begin());
  out.contiguous_and_aligned = PyArray_ISALIGNED(array) &&
                               (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array));
  return true;
}

// Argument converters: extraction plus the "while processing" note.

// The one place where a conversion failure gets its note.
template <class Extract>
bool convert(const Argument& argument, Extract&& extract) {
  if (extract(argument.object)) return true;
  note_while_processing(argument.name);
  return false;
}

bool to_f32(const Argument& argument, float& out) {
  return convert(argument, [&](PyObject* object) { return extract_f32(object, out); });
}

bool to_f64(const Argument& argument, double& out) {
  return convert(argument, [&](PyObject* object) { return extract_f64(object, out); });
}

bool to_i32(const Argument& argument, std::int32_t& out) {
  return convert(argument, [&](PyObject* object) { return extract_i32(object, out); });
}

template <class T, class ExtractItem>
bool to_sequence(const Argument& argument, std::vector<T>& out, ExtractItem&& extract_item) {
  return convert(argument, [&](PyObject* object) {
    return extract_sequence(object, out, std::forward<ExtractItem>(extract_item));
  });
}

template <class T, int Rank>
bool to_array(const Argument& argument, NdArray<T, Rank>& out) {
  return convert(argument, [&](PyObject* object) { return extract_array(object, out); });
}

// Array readers, used by constructor bodies after every argument is converted.

// A one-dimensional array read in place as one run of elements: unless empty it must be
// contiguous and aligned. The TypeError raised otherwise carries no note.
template <class T>
std::optional<std::span<const T>> read_flat(const NdArray<T, 1>& array) {
  const auto length = static_cast<std::size_t>(array.shape[0]);
  if (length == 0) return std::span<const T>();
  if (!array.contiguous_and_aligned) {
    raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return std::nullopt;
  }
  return std::span<const T>(reinterpret_cast<const T*>(array.data), length);
}

// A two-dimensional float32 grid read through its strides, so any layout works (Fortran order,
// transposed and reversed views). Elements are copied out with memcpy because a view may be
// unaligned.
class StridedGrid {
 public:
  explicit StridedGrid(const NdArray<float, 2>& array) : array_(array) {}

  std::size_t rows() const { return static_cast<std::size_t>(array_.shape[0]); }
  std::size_t columns() const { return static_cast<std::size_t>(array_.shape[1]); }
  std::string shape_text() const { return format("({}, {})", array_.shape[0], array_.shape[1]); }
  bool same_shape(const StridedGrid& other) const { return array_.shape == other.array_.shape; }

  float at(std::size_t row, std::size_t column) const {
    const npy_intp offset = static_cast<npy_intp>(row) * array_.strides[0] +
                            static_cast<npy_intp>(column) * array_.strides[1];
    float value = 0.0f;
    std::memcpy(&value, array_.data + offset, sizeof value);
    return value;
  }

 private:
  NdArray<float, 2> array_;
};

// ---------------------------------------------------------------------------------------------
// 4. Class shells

// The object layout of every class: the object header, then the held core value.
template <class Held>
struct Shell {
  PyObject ob_base;  // PyObject_HEAD
  Held held;
};

template <class W>
using ShellOf = Shell<typename W::Held>;

template <class W>
const typename W::Held& held(PyObject* self) {
  return reinterpret_cast<ShellOf<W>*>(self)->held;
}

// Defaults for a class without properties or methods.
struct PlainClass {
  static inline PyGetSetDef properties[] = {{}};
  static inline PyMethodDef methods[] = {{}};
};

template <class W>
PyTypeObject* class_type();

// Moves a built value into a new instance of `type`.
template <class W>
PyObject* adopt(PyTypeObject* type, typename W::Held&& value) {
  static_assert(std::is_nothrow_move_constructible_v<typename W::Held>,
                "an instance is allocated before its value moves in; the move must not fail");
  static_assert(alignof(typename W::Held) <= alignof(std::max_align_t),
                "the interpreter's allocator only guarantees max_align_t alignment");
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ShellOf<W>*>(self)->held) typename W::Held(std::move(value));
  return self;
}

// tp_new: bind, convert and validate through W::build, then allocate. There is no tp_init.
template <class W>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        BoundArguments arguments(W::signature);
        if (!arguments.bind(args, kwargs)) return nullptr;
        std::optional<typename W::Held> value = W::build(arguments);
        if (!value) return nullptr;
        return adopt<W>(type, std::move(*value));
      },
      nullptr);
}

template <class W>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<ShellOf<W>*>(self)->held);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// W's type object, created once per process on first use. Immutable, not subclassable, without
// __dict__ or weak references; `__doc__` and `__text_signature__` both come from W::doc.
template <class W>
PyTypeObject* class_type() {
  static std::atomic<PyObject*> created{nullptr};
  return reinterpret_cast<PyTypeObject*>(once_per_process(created, [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(W::doc)},
        {Py_tp_new, reinterpret_cast<void*>(&construct<W>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<W>)},
        {Py_tp_getset, W::properties},
        {Py_tp_methods, W::methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        .name = W::qualified_name,
        .basicsize = static_cast<int>(sizeof(ShellOf<W>)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = slots,
    };
    return PyType_FromSpec(&spec);
  }));
}

// An instance of W's class (or of a subclass); `out` points into it while the caller holds it.
template <class W>
bool extract_instance(PyObject* object, const typename W::Held*& out) {
  PyTypeObject* type = class_type<W>();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(object, type)) return raise_class_mismatch(object, W::name);
  out = &held<W>(object);
  return true;
}

template <class W>
bool to_instance(const Argument& argument, const typename W::Held*& out) {
  return convert(argument, [&](PyObject* object) { return extract_instance<W>(object, out); });
}

// Runs a getter's body through the exception barrier.
template <class Body>
PyObject* property(Body&& body) {
  return guarded(std::forward<Body>(body), nullptr);
}

// ---------------------------------------------------------------------------------------------
// 5. The classes

struct PySourceParameters : PlainClass {
  using Held = config::SourceParameters;
  static constexpr const char* name = "SourceParameters";
  static constexpr const char* qualified_name = "_varnett.SourceParameters";
  static constexpr const char* doc =
      "SourceParameters(*, corner_frequency_constant, corner_frequency_alpha, "
      "rupture_velocity_fraction, rupture_velocity_shallow, rupture_velocity_deep, "
      "rupture_velocity_sigma)\n--\n\n"
      "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
      "rupture travels.";
  static constexpr const char* parameters[] = {
      "corner_frequency_constant", "corner_frequency_alpha", "rupture_velocity_fraction",
      "rupture_velocity_shallow",  "rupture_velocity_deep",  "rupture_velocity_sigma",
  };
  static constexpr Signature signature{"SourceParameters.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    Held source{};
    config::RuptureVelocity& rupture = source.rupture_velocity;
    if (!to_f32(in["corner_frequency_constant"], source.czero) ||
        !to_f32(in["corner_frequency_alpha"], source.calpha) ||
        !to_f32(in["rupture_velocity_fraction"], rupture.frac) ||
        !to_f32(in["rupture_velocity_shallow"], rupture.shallow) ||
        !to_f32(in["rupture_velocity_deep"], rupture.deep) ||
        !to_f32(in["rupture_velocity_sigma"], rupture.rv_sig1)) {
      return std::nullopt;
    }
    return source;
  }
};

struct PyPathParameters : PlainClass {
  using Held = config::PathParameters;
  static constexpr const char* name = "PathParameters";
  static constexpr const char* qualified_name = "_varnett.PathParameters";
  static constexpr const char* doc =
      "PathParameters(*, rayset, path_duration_model)\n--\n\n"
      "The path from source to site shared by every station: which rays, and how duration grows\n"
      "with distance.";
  static constexpr const char* parameters[] = {"rayset", "path_duration_model"};
  static constexpr Signature signature{"PathParameters.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    std::vector<config::RayType> rayset;
    std::int32_t duration_code = 0;
    const auto ray_type = [](PyObject* item) -> std::optional<config::RayType> {
      std::int32_t code = 0;
      if (!extract_i32(item, code)) return std::nullopt;
      return config::RayType{code};
    };
    if (!to_sequence(in["rayset"], rayset, ray_type) ||
        !to_i32(in["path_duration_model"], duration_code)) {
      return std::nullopt;
    }
    // The take-off angle of a ray is defined only for non-negative codes.
    for (const config::RayType ray : rayset) {
      if (ray.code < 0) {
        return raise(PyExc_ValueError,
                     format("ray type {} is negative; th1 would be undefined", ray.code));
      }
    }
    const std::optional<config::PathDurationModel> model =
        config::PathDurationModel::from_deck(duration_code);
    if (!model) {
      return raise(PyExc_ValueError,
                   format("path_duration_model {} is not one of 0, 1, 2, 11, 12", duration_code));
    }
    return Held{.rayset = std::move(rayset), .path_duration = *model};
  }
};

struct PySiteParameters : PlainClass {
  using Held = config::SiteParameters;
  static constexpr const char* name = "SiteParameters";
  static constexpr const char* qualified_name = "_varnett.SiteParameters";
  static constexpr const char* doc =
      "SiteParameters(*, fmax_hz)\n--\n\n"
      "The near-surface parameters shared by every station.\n"
      "\n"
      "Quarter-wavelength site amplification is always applied and is not a field here.";
  static constexpr const char* parameters[] = {"fmax_hz"};
  static constexpr Signature signature{"SiteParameters.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    Held site{};
    if (!to_f32(in["fmax_hz"], site.f_max_hz)) return std::nullopt;
    return site;
  }
};

struct PyRecordParameters : PlainClass {
  using Held = config::RecordParameters;
  static constexpr const char* name = "RecordParameters";
  static constexpr const char* qualified_name = "_varnett.RecordParameters";
  static constexpr const char* doc =
      "RecordParameters(*, duration_s, dt)\n--\n\n"
      "The shape of the record to produce.";
  static constexpr const char* parameters[] = {"duration_s", "dt"};
  static constexpr Signature signature{"RecordParameters.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    Held record{};
    if (!to_f32(in["duration_s"], record.duration_s) || !to_f32(in["dt"], record.dt_s)) {
      return std::nullopt;
    }
    return record;
  }
};

struct PyHfConfig : PlainClass {
  using Held = config::HfConfig;
  static constexpr const char* name = "HfConfig";
  static constexpr const char* qualified_name = "_varnett.HfConfig";
  static constexpr const char* doc =
      "HfConfig(*, source, path, site, record)\n--\n\n"
      "Everything needed to simulate, with nothing about where the inputs came from.";
  static constexpr const char* parameters[] = {"source", "path", "site", "record"};
  static constexpr Signature signature{"HfConfig.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    const config::SourceParameters* source = nullptr;
    const config::PathParameters* path = nullptr;
    const config::SiteParameters* site = nullptr;
    const config::RecordParameters* record = nullptr;
    if (!to_instance<PySourceParameters>(in["source"], source) ||
        !to_instance<PyPathParameters>(in["path"], path) ||
        !to_instance<PySiteParameters>(in["site"], site) ||
        !to_instance<PyRecordParameters>(in["record"], record)) {
      return std::nullopt;
    }
    return Held{.source = *source, .path = *path, .site = *site, .record = *record};
  }
};

struct PyFaultSegment : PlainClass {
  using Held = input::Segment;
  static constexpr const char* name = "FaultSegment";
  static constexpr const char* qualified_name = "_varnett.FaultSegment";
  static constexpr const char* doc =
      "FaultSegment(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
      "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, "
      "hypocentre_down_dip_km, slip, rise_time_s, rupture_time_s, stress_drop_bars)\n--\n\n"
      "One fault segment: geometry plus the four subfault grids.\n"
      "\n"
      "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
      "row order the `.stoch` format itself uses.";
  static constexpr const char* parameters[] = {
      "longitude_deg",
      "latitude_deg",
      "strike_deg",
      "dip_deg",
      "rake_deg",
      "top_depth_km",
      "subfault_length_km",
      "subfault_width_km",
      "hypocentre_along_strike_km",
      "hypocentre_down_dip_km",
      "slip",
      "rise_time_s",
      "rupture_time_s",
      "stress_drop_bars",
  };
  static constexpr Signature signature{"FaultSegment.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    input::SegmentBuilder builder{};
    NdArray<float, 2> slip_array, rise_array, rupture_array, stress_array;
    if (!to_f32(in["longitude_deg"], builder.fault_lon_deg) ||
        !to_f32(in["latitude_deg"], builder.fault_lat_deg) ||
        !to_f32(in["strike_deg"], builder.strike_deg) || !to_f32(in["dip_deg"], builder.dip_deg) ||
        !to_f32(in["rake_deg"], builder.rake_deg) ||
        !to_f32(in["top_depth_km"], builder.top_depth_km) ||
        !to_f32(in["subfault_length_km"], builder.subfault_length_km) ||
        !to_f32(in["subfault_width_km"], builder.subfault_width_km) ||
        !to_f32(in["hypocentre_along_strike_km"], builder.hypocentre_along_strike_km) ||
        !to_f32(in["hypocentre_down_dip_km"], builder.hypocentre_down_dip_km) ||
        !to_array(in["slip"], slip_array) || !to_array(in["rise_time_s"], rise_array) ||
        !to_array(in["rupture_time_s"], rupture_array) ||
        !to_array(in["stress_drop_bars"], stress_array)) {
      return std::nullopt;
    }
    const StridedGrid slip(slip_array), rise(rise_array), rupture(rupture_array),
        stress(stress_array);

    if (!slip.same_shape(rise) || !slip.same_shape(rupture) || !slip.same_shape(stress)) {
      return raise(
          PyExc_ValueError,
          format("slip {}, rise_time_s {}, rupture_time_s {} and stress_drop_bars {} must "
                 "have the same shape -- they describe the same subfaults",
                 slip.shape_text(), rise.shape_text(), rupture.shape_text(), stress.shape_text()));
    }
    // Room for the subfaults first: a broadcast view can describe more cells than memory holds in
    // a few bytes, and the scan below would otherwise read every one of them before failing.
    // NumPy keeps the element count within npy_intp, so the product cannot overflow.
    builder.subfaults.reserve(slip.rows() * slip.columns());
    for (std::size_t row = 0; row < stress.rows(); ++row) {
      for (std::size_t column = 0; column < stress.columns(); ++column) {
        const float value = stress.at(row, column);
        if (!(value > 0.0f && std::isfinite(value))) {
          return raise(
              PyExc_ValueError,
              format("stress_drop_bars must be positive and finite everywhere; got {}", value));
        }
      }
    }
    if (slip.rows() == 0 || slip.columns() == 0) {
      return raise(PyExc_ValueError, "a segment needs at least one subfault; got an empty grid");
    }

    // Row by row (down dip outer, along strike inner): the flat order of the slip model.
    builder.down_dip_count = slip.rows();
    builder.along_strike_count = slip.columns();
    for (std::size_t row = 0; row < slip.rows(); ++row) {
      for (std::size_t column = 0; column < slip.columns(); ++column) {
        builder.subfaults.push_back(input::Subfault{
            .slip = input::Slip{.cm = slip.at(row, column)},
            .rise_time_s = rise.at(row, column),
            .rupture_time_s = rupture.at(row, column),
            .stress_drop_bars = stress.at(row, column),
        });
      }
    }
    return std::move(builder).build();
  }
};

struct PySlipModel {
  using Held = input::StochModel;
  static constexpr const char* name = "SlipModel";
  static constexpr const char* qualified_name = "_varnett.SlipModel";
  static constexpr const char* doc =
      "SlipModel(segments)\n--\n\n"
      "A whole slip model: one or more [`PyFaultSegment`].";
  static constexpr const char* parameters[] = {"segments"};
  static constexpr Signature signature{"SlipModel.__new__()", parameters, 1};

  static std::optional<Held> build(const BoundArguments& in) {
    std::vector<input::Segment> segments;
    const auto segment_copy = [](PyObject* item) -> std::optional<input::Segment> {
      const input::Segment* segment = nullptr;
      if (!extract_instance<PyFaultSegment>(item, segment)) return std::nullopt;
      return *segment;
    };
    if (!to_sequence(in["segments"], segments, segment_copy)) return std::nullopt;
    if (segments.empty()) return raise(PyExc_ValueError, "a slip model needs at least one segment");
    return input::StochModel(std::move(segments));
  }

  static PyObject* subfault_count(PyObject* self, void*) {
    return property([&] { return PyLong_FromSize_t(held<PySlipModel>(self).subfault_count); });
  }

  static inline PyGetSetDef properties[] = {
      {.name = "subfault_count",
       .get = &subfault_count,
       .set = nullptr,
       .doc = "Total subfaults across all segments",
       .closure = nullptr},
      {},
  };
  static inline PyMethodDef methods[] = {{}};
};

struct PyVelocityModel1D {
  using Held = std::vector<state::InputLayer>;  // cut at the Moho, without the air layer
  static constexpr const char* name = "VelocityModel1D";
  static constexpr const char* qualified_name = "_varnett.VelocityModel1D";
  static constexpr const char* doc =
      "VelocityModel1D(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, "
      "quality_factor_s, vs_moho_km_s)\n--\n\n"
      "The 1-D velocity model, already truncated at the Moho.";
  static constexpr const char* parameters[] = {
      "thickness_km",     "vp_km_s",          "vsh_km_s",     "density_g_cm3",
      "quality_factor_p", "quality_factor_s", "vs_moho_km_s",
  };
  static constexpr Signature signature{"VelocityModel1D.__new__()", parameters, 0};

  static std::optional<Held> build(const BoundArguments& in) {
    NdArray<float, 1> thickness_array, qp_array, qs_array;
    NdArray<double, 1> vp_array, vsh_array, density_array;
    double vs_moho_km_s = 0.0;
    if (!to_array(in["thickness_km"], thickness_array) || !to_array(in["vp_km_s"], vp_array) ||
        !to_array(in["vsh_km_s"], vsh_array) || !to_array(in["density_g_cm3"], density_array) ||
        !to_array(in["quality_factor_p"], qp_array) ||
        !to_array(in["quality_factor_s"], qs_array) || !to_f64(in["vs_moho_km_s"], vs_moho_km_s)) {
      return std::nullopt;
    }
    std::optional<std::span<const float>> thickness, qp, qs;
    std::optional<std::span<const double>> vp, vsh, density;
    if (!(thickness = read_flat(thickness_array)) || !(vp = read_flat(vp_array)) ||
        !(vsh = read_flat(vsh_array)) || !(density = read_flat(density_array)) ||
        !(qp = read_flat(qp_array)) || !(qs = read_flat(qs_array))) {
      return std::nullopt;
    }
    const std::array<std::size_t, 6> lengths = {thickness->size(), vp->size(), vsh->size(),
                                                density->size(),   qp->size(), qs->size()};
    if (std::any_of(lengths.begin(), lengths.end(),
                    [&](std::size_t length) { return length != lengths[0]; })) {
      return raise(PyExc_ValueError,
                   format("every layer property must have one entry per layer. Got lengths [{}, "
                          "{}, {}, {}, {}, {}] for (thickness_km, vp_km_s, vsh_km_s, "
                          "density_g_cm3, quality_factor_p, quality_factor_s)",
                          lengths[0], lengths[1], lengths[2], lengths[3], lengths[4], lengths[5]));
    }

    std::vector<state::InputLayer> layers;
    layers.reserve(lengths[0]);
    for (std::size_t k = 0; k < lengths[0]; ++k) {
      layers.push_back(state::InputLayer{
          .depth_km = 0.0f,
          .thickness_km = (*thickness)[k],
          .vp_km_s = (*vp)[k],
          .vsh_km_s = (*vsh)[k],
          .density_g_cm3 = (*density)[k],
          .attenuation_p = (*qp)[k],
          .attenuation_s = (*qs)[k],
      });
    }
    auto model = input::build_velocity_model(layers, vs_moho_km_s);
    if (const auto* error = std::get_if<input::ModelError>(&model)) {
      return raise(PyExc_ValueError, error->message());
    }
    return std::get<Held>(std::move(model));
  }

  static PyObject* layer_count(PyObject* self, void*) {
    return property([&] { return PyLong_FromSize_t(held<PyVelocityModel1D>(self).size()); });
  }

  static inline PyGetSetDef properties[] = {
      {.name = "layer_count",
       .get = &layer_count,
       .set = nullptr,
       .doc = "Layers remaining after Moho truncation.",
       .closure = nullptr},
      {},
  };
  static inline PyMethodDef methods[] = {{}};
};

// The interpreter lock, released for the lifetime of this object and re-acquired when it ends,
// also when an exception leaves the scope (so `guarded` runs with the lock held).
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

struct PySimulator {
  using Held = sim::Simulator;
  static constexpr const char* name = "Simulator";
  static constexpr const char* qualified_name = "_varnett.Simulator";
  static constexpr const char* doc =
      "Simulator(config, slip_model, velocity_model)\n--\n\n"
      "A configured simulation, ready to run stations against.\n"
      "\n"
      "Built once per source; the station-independent work \xe2\x80\x94 the air layer, the "
      "slip-model\n"
      "normalisation, the moment scaling \xe2\x80\x94 happens here rather than per station.\n"
      "\n"
      "# Threads, not processes\n"
      "\n"
      "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
      "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
      "send it between processes, and a silent re-normalisation on the far side is a worse\n"
      "failure than a loud one here.";
  static constexpr const char* parameters[] = {"config", "slip_model", "velocity_model"};
  static constexpr Signature signature{"Simulator.__new__()", parameters, 3};

  static std::optional<Held> build(const BoundArguments& in) {
    const config::HfConfig* hf_config = nullptr;
    const input::StochModel* slip = nullptr;
    const std::vector<state::InputLayer>* layers = nullptr;
    if (!to_instance<PyHfConfig>(in["config"], hf_config) ||
        !to_instance<PySlipModel>(in["slip_model"], slip) ||
        !to_instance<PyVelocityModel1D>(in["velocity_model"], layers)) {
      return std::nullopt;
    }
    auto built = sim::Simulator::create(*hf_config, *slip, *layers);
    if (const auto* error = std::get_if<sim::SimError>(&built)) {
      return raise(PyExc_ValueError, error->message());
    }
    return std::get<Held>(std::move(built));
  }

  static constexpr const char* run_parameters[] = {"latitude_deg", "longitude_deg", "station_seed",
                                                   "kappa_s", "q_frequency_exponent"};
  static constexpr Signature run_signature{"Simulator.run_stations()", run_parameters, 0};
  static constexpr const char* run_doc =
      "run_stations($self, *, latitude_deg, longitude_deg, station_seed, kappa_s, "
      "q_frequency_exponent)\n--\n\n"
      "Simulate a batch of stations.\n"
      "\n"
      "Returns acceleration in cm/s^2, shaped `(3, n_station, n_time)` with components\n"
      "ordered 090/000/vertical.";

  // The station arrays, read in place as flat buffers.
  struct Stations {
    std::span<const float> latitude, longitude;
    std::span<const std::uint64_t> seed;
    std::span<const float> kappa, q_exponent;
  };

  static std::optional<Stations> read_stations(const BoundArguments& in) {
    NdArray<float, 1> latitude, longitude, kappa, q_exponent;
    NdArray<std::uint64_t, 1> seed;
    if (!to_array(in["latitude_deg"], latitude) || !to_array(in["longitude_deg"], longitude) ||
        !to_array(in["station_seed"], seed) || !to_array(in["kappa_s"], kappa) ||
        !to_array(in["q_frequency_exponent"], q_exponent)) {
      return std::nullopt;
    }
    Stations out;
    std::optional<std::span<const float>> f;
    std::optional<std::span<const std::uint64_t>> u;
    if (!(f = read_flat(latitude))) return std::nullopt;
    out.latitude = *f;
    if (!(f = read_flat(longitude))) return std::nullopt;
    out.longitude = *f;
    if (!(u = read_flat(seed))) return std::nullopt;
    out.seed = *u;
    if (!(f = read_flat(kappa))) return std::nullopt;
    out.kappa = *f;
    if (!(f = read_flat(q_exponent))) return std::nullopt;
    out.q_exponent = *f;

    const std::size_t n = out.latitude.size();
    if (out.longitude.size() != n || out.seed.size() != n || out.kappa.size() != n ||
        out.q_exponent.size() != n) {
      return raise(PyExc_ValueError,
                   format("every station array must have one entry per station. Got lengths [{}, "
                          "{}, {}, {}, {}] for (latitude_deg, longitude_deg, station_seed, "
                          "kappa_s, q_frequency_exponent)",
                          n, out.longitude.size(), out.seed.size(), out.kappa.size(),
                          out.q_exponent.size()));
    }
    return out;
  }

  // A zero-filled float32 array of shape (3, n_station, n_time) that owns its buffer; MemoryError
  // when the size overflows or cannot be allocated, before any station is simulated.
  static Ref result_array(std::size_t n_station, std::size_t n_time) {
    std::size_t elements = 0;
    const bool fits =
        !__builtin_mul_overflow(n_station, n_time, &elements) &&
        !__builtin_mul_overflow(elements, std::size_t{3} * sizeof(float), &elements) &&
        elements <= static_cast<std::size_t>(NPY_MAX_INTP);
    if (!fits) {
      PyErr_NoMemory();
      return Ref();
    }
    npy_intp dims[3] = {3, static_cast<npy_intp>(n_station), static_cast<npy_intp>(n_time)};
    return Ref::steal(PyArray_ZEROS(3, dims, NPY_FLOAT32, 0));
  }

  static PyObject* run_stations(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(
        [&]() -> PyObject* {
          BoundArguments arguments(run_signature);
          if (!arguments.bind(args, kwargs)) return nullptr;
          const std::optional<Stations> stations = read_stations(arguments);
          if (!stations) return nullptr;
          const sim::Simulator& simulator = held<PySimulator>(self);
          const std::size_t n_station = stations->latitude.size();
          const std::size_t n_time = simulator.ndata();
          Ref result = result_array(n_station, n_time);
          if (!result) return nullptr;
          float* out =
              static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
          {
            const ReleasedLock unlocked;
            simulate(simulator, *stations, std::span<float>(out, 3 * n_station * n_time));
          }
          return result.release();
        },
        nullptr);
  }

  // Stations one after another in input order; row c of station i goes to out[c][i][:].
  static void simulate(const sim::Simulator& simulator, const Stations& stations,
                       std::span<float> out) {
    const std::size_t n_station = stations.latitude.size();
    const std::size_t n_time = simulator.ndata();
    for (std::size_t i = 0; i < n_station; ++i) {
      const sim::Station station{.longitude = stations.longitude[i],
                                 .latitude = stations.latitude[i],
                                 .name = format("station-{}", i),
                                 .kappa_s = stations.kappa[i],
                                 .q_exponent = stations.q_exponent[i]};
      const sim::Simulation record = simulator.run_station(station, stations.seed[i]);
      for (std::size_t c = 0; c < 3; ++c) {
        const std::span<const float> row = record.acc.row(c);
        std::copy(row.begin(), row.end(), out.begin() + (c * n_station + i) * n_time);
      }
    }
  }

  static inline PyGetSetDef properties[] = {{}};
  static inline PyMethodDef methods[] = {
      {.ml_name = "run_stations",
       .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run_stations)),
       .ml_flags = METH_VARARGS | METH_KEYWORDS,
       .ml_doc = run_doc},
      {},
  };
};

// ---------------------------------------------------------------------------------------------
// 6. The module

using ClassType = PyTypeObject* (*)();

// The module's classes, added in this order.
// clang-format off
constexpr ClassType module_classes[] = {
    &class_type<PyFaultSegment>,
    &class_type<PySlipModel>,
    &class_type<PyVelocityModel1D>,
    &class_type<PySourceParameters>,
    &class_type<PyPathParameters>,
    &class_type<PySiteParameters>,
    &class_type<PyRecordParameters>,
    &class_type<PyHfConfig>,
    &class_type<PySimulator>,
};
// clang-format on

// The execution step: NumPy's C API, the internal-error exception, then the classes. Type objects
// are shared by every execution of the module in the process; the first failure stops the step.
int exec_module(PyObject* module) {
  return guarded(
      [&] {
        if (PyArray_ImportNumPyAPI() < 0 || internal_error_type() == nullptr) return -1;
        for (const ClassType class_type_of : module_classes) {
          PyTypeObject* type = class_type_of();
          if (type == nullptr || PyModule_AddType(module, type) < 0) return -1;
        }
        return 0;
      },
      -1);
}

}  // namespace

// The slots of both entry points. The type objects and the internal-error exception are
// process-wide, so the module cannot be isolated per sub-interpreter (NumPy cannot either).
#if PY_VERSION_HEX >= 0x030C0000
#define VARNETT_SLOT_INTERPRETERS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VARNETT_SLOT_INTERPRETERS
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define VARNETT_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VARNETT_SLOT_GIL
#endif
// clang-format off
#define VARNETT_MODULE_SLOTS                              \
  {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},   \
  VARNETT_SLOT_INTERPRETERS                               \
  VARNETT_SLOT_GIL                                        \
  {0, nullptr}
// clang-format on

static PyModuleDef_Slot module_slots[] = {VARNETT_MODULE_SLOTS};

static PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_varnett",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyMODINIT_FUNC PyInit__varnett() {
  return PyModuleDef_Init(&module_def);
}

// The export hook of newer interpreters: the same slots, with the name and the (empty) docstring
// that PyModuleDef carries for PyInit__varnett given as slots of their own.
#if PY_VERSION_HEX >= 0x030F0000 && defined(PyMODEXPORT_FUNC) && defined(Py_mod_name)
static PyModuleDef_Slot module_export_slots[] = {
    {Py_mod_name, const_cast<char*>("_varnett")},
    {Py_mod_doc, const_cast<char*>("")},
    VARNETT_MODULE_SLOTS,
};

PyMODEXPORT_FUNC PyModExport__varnett() {
  return module_export_slots;
}
#endif
