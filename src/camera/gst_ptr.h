#pragma once

// Owning handles for GStreamer and GLib objects. Headers use them with
// forward-declared types only; the GStreamer headers stay in the .cpp files.
//
//   ObjectRef<T>::Adopt(p)  takes over the reference the caller holds;
//   ObjectRef<T>::Share(p)  adds a reference of its own, the caller keeps its.
// A copy adds a reference, destruction drops one.

#include <memory>
#include <utility>

struct _GList;
struct _GstBuffer;
struct _GstBus;
struct _GstCaps;
struct _GstDevice;
struct _GstDeviceMonitor;
struct _GstElement;
struct _GstMessage;
struct _GstPad;
struct _GstSample;
struct _GstStructure;
struct _GstIterator;
struct _GError;

namespace vemo::gst {

// gst_object_ref / gst_object_unref of any GstObject.
void RefObject(void* object);
void UnrefObject(void* object);

template <typename T>
class ObjectRef {
  public:
    ObjectRef() = default;
    static ObjectRef Adopt(T* object) {
        ObjectRef handle;
        handle.object_ = object;
        return handle;
    }
    static ObjectRef Share(T* object) {
        if (object != nullptr) RefObject(object);
        return Adopt(object);
    }

    ObjectRef(const ObjectRef& other) : object_(other.object_) {
        if (object_ != nullptr) RefObject(object_);
    }
    ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ObjectRef& operator=(ObjectRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ObjectRef() { reset(); }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (object_ != nullptr) UnrefObject(std::exchange(object_, nullptr));
    }

  private:
    T* object_ = nullptr;
};

using ElementRef = ObjectRef<_GstElement>;
using BusRef = ObjectRef<_GstBus>;
using DeviceRef = ObjectRef<_GstDevice>;
using PadRef = ObjectRef<_GstPad>;

struct CapsUnref {
    void operator()(_GstCaps* caps) const;
};
struct MessageUnref {
    void operator()(_GstMessage* message) const;
};
struct SampleUnref {
    void operator()(_GstSample* sample) const;
};
struct ErrorFree {
    void operator()(_GError* error) const;
};
struct StringFree {
    void operator()(char* text) const;
};
struct StructureFree {
    void operator()(_GstStructure* structure) const;
};
struct IteratorFree {
    void operator()(_GstIterator* iterator) const;
};
// A GList of GstObjects, as gst_device_monitor_get_devices returns it: each
// element unreferenced, then the list freed.
struct ObjectListFree {
    void operator()(_GList* list) const;
};

using CapsPtr = std::unique_ptr<_GstCaps, CapsUnref>;
using MessagePtr = std::unique_ptr<_GstMessage, MessageUnref>;
using SamplePtr = std::unique_ptr<_GstSample, SampleUnref>;
using ErrorPtr = std::unique_ptr<_GError, ErrorFree>;
using StringPtr = std::unique_ptr<char, StringFree>;
using StructurePtr = std::unique_ptr<_GstStructure, StructureFree>;
using IteratorPtr = std::unique_ptr<_GstIterator, IteratorFree>;
using ObjectListPtr = std::unique_ptr<_GList, ObjectListFree>;

}  // namespace vemo::gst
