// PySliceContainer ("builtins.PySliceContainer"), the owner of a handed-over
// state buffer, and the complex64 ndarray built over that buffer.
#include "result_array.hpp"

#include <cstddef>
#include <memory>

#include "boundary.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "panic.hpp"
#include "type_object.hpp"

namespace vastrel::py {

namespace {

using ReleaseFn = void (*)(void* data, std::size_t length, std::size_t capacity) noexcept;

struct PySliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t length;
    std::size_t capacity;
    ReleaseFn release;
};

// The release routine for state buffers: the core's own allocator frees them.
void drop_vec(void* data, std::size_t, std::size_t capacity) noexcept {
    if (capacity == 0) {
        return;
    }
    sim::free_buffer(static_cast<sim::Complex32*>(data), capacity);
}

// Owns a released buffer until the container takes it, so that every early
// exit (a failed allocation, a panic) still frees it exactly once.
struct BufferGuard {
    sim::RawBuffer buffer;
    ~BufferGuard() {
        if (buffer.data != nullptr) {
            drop_vec(buffer.data, buffer.length, buffer.capacity);
        }
    }
    sim::RawBuffer take() noexcept {
        sim::RawBuffer taken = buffer;
        buffer = {nullptr, 0, 0};
        return taken;
    }
};

void container_dealloc(PyObject* self) noexcept {
    dealloc_boundary(self, [&] {
        auto* container = reinterpret_cast<PySliceContainer*>(self);
        if (container->release != nullptr) {
            container->release(container->data, container->length, container->capacity);
        }
    });
    free_instance(self);
}

PyType_Slot kContainerSlots[] = {
    {Py_tp_doc, const_cast<char*>("Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

PyType_Spec kContainerSpec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(PySliceContainer)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kContainerSlots,
};

constinit LazyType g_container_type{"PySliceContainer", &kContainerSpec};

Object new_container(BufferGuard& guard) {
    PyTypeObject* type = g_container_type.get();
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) {
        PyError error = PyError::fetch();
        sim::RawBuffer buffer = guard.take();  // freed now, before the panic
        drop_vec(buffer.data, buffer.length, buffer.capacity);
        panic("Failed to create slice container: " + error.debug_string());
    }
    auto* container = reinterpret_cast<PySliceContainer*>(obj);
    sim::RawBuffer buffer = guard.take();
    container->data = buffer.data;
    container->length = buffer.length;
    container->capacity = buffer.capacity;
    container->release = &drop_vec;
    return Object::steal(obj);
}

}  // namespace

Object result_array(sim::StateVector state) {
    BufferGuard guard{state.release()};
    npy_intp dims[1] = {static_cast<npy_intp>(guard.buffer.length)};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(sim::Complex32))};
    void* data = guard.buffer.data;

    Object container = new_container(guard);
    // From here the container owns the buffer; dropping it frees the buffer.
    ensure_numpy_api();
    Object descr = expect_api(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_CFLOAT)));
    // NewFromDescr consumes a descriptor reference, also when it fails.
    Object array = expect_api(PyArray_NewFromDescr(&PyArray_Type,
                                                   reinterpret_cast<PyArray_Descr*>(descr.new_ref()),
                                                   1, dims, strides, data, NPY_ARRAY_WRITEABLE,
                                                   nullptr));
    // SetBaseObject consumes the container reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.ptr()), container.release()) < 0) {
        PyErr_Print();
        panic("Python API call failed");
    }
    return array;
}

}  // namespace vastrel::py
