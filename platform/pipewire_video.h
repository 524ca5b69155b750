#pragma once

// The pieces every raw-video PipeWire stream of ours builds the same way.

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace vsc {

// The one format offered: NV12 at a fixed size and frame rate.
inline const spa_pod* nv12Format(spa_pod_builder& b, int width, int height, int fps) {
    spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(fps), 1);
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_NV12), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_Fraction(&rate)));
}

// Buffers of one picture each, in shared memory (dataTypes: a mask of
// 1 << SPA_DATA_*).
inline const spa_pod* pictureBuffers(spa_pod_builder& b, int preferred, int minimum, int maximum,
                                     int size, int stride,
                                     int dataTypes = (1 << SPA_DATA_MemFd) |
                                                     (1 << SPA_DATA_MemPtr)) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(preferred, minimum, maximum), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(dataTypes)));
}

// A header on every buffer, for its time stamp and sequence number.
inline const spa_pod* headerMeta(spa_pod_builder& b) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
}

inline spa_meta_header* headerOf(pw_buffer* b) {
    return static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)));
}

// Stream events forwarded to an object's onState, onParamChanged,
// onAddBuffer, onRemoveBuffer and, when it has one, onProcess.
template <class T>
const pw_stream_events& streamEventsFor() {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
            static_cast<T*>(data)->onState(state);
        };
        e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            static_cast<T*>(data)->onParamChanged(id, param);
        };
        e.add_buffer = [](void* data, pw_buffer* b) { static_cast<T*>(data)->onAddBuffer(b); };
        e.remove_buffer = [](void* data, pw_buffer* b) {
            static_cast<T*>(data)->onRemoveBuffer(b);
        };
        if constexpr (requires(T t) { t.onProcess(); })
            e.process = [](void* data) { static_cast<T*>(data)->onProcess(); };
        return e;
    }();
    return events;
}

}  // namespace vsc
