#include "camera/gst_ptr.h"

#include <gst/gst.h>

namespace vemo::gst {

void RefObject(void* object) {
    gst_object_ref(object);
}
void UnrefObject(void* object) {
    gst_object_unref(object);
}

void CapsUnref::operator()(GstCaps* caps) const {
    gst_caps_unref(caps);
}
void MessageUnref::operator()(GstMessage* message) const {
    gst_message_unref(message);
}
void SampleUnref::operator()(GstSample* sample) const {
    gst_sample_unref(sample);
}
void ErrorFree::operator()(GError* error) const {
    g_error_free(error);
}
void StringFree::operator()(char* text) const {
    g_free(text);
}
void StructureFree::operator()(GstStructure* structure) const {
    gst_structure_free(structure);
}
void IteratorFree::operator()(GstIterator* iterator) const {
    gst_iterator_free(iterator);
}
void ObjectListFree::operator()(GList* list) const {
    g_list_free_full(list, gst_object_unref);
}

}  // namespace vemo::gst
