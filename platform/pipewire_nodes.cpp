#include "platform/pipewire_nodes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vsc {
namespace {

void mergeProps(PipeWireNodes::Node& node, const spa_dict* props) {
    if (!props) return;
    const spa_dict_item* item;
    spa_dict_for_each(item, props) node.props[item->key] = item->value ? item->value : "";
}

const pw_node_events& nodeEvents() {
    static const pw_node_events events = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        e.info = [](void* data, const pw_node_info* info) {
            if (info && (info->change_mask & PW_NODE_CHANGE_MASK_PROPS))
                mergeProps(*static_cast<PipeWireNodes::Node*>(data), info->props);
        };
        return e;
    }();
    return events;
}

void releaseProxy(PipeWireNodes::Node& node) {
    if (!node.proxy) return;
    if (node.listener) spa_hook_remove(node.listener.get());
    pw_proxy_destroy(node.proxy);
    node.proxy = nullptr;
}

}  // namespace

PipeWireNodes::PipeWireNodes(PipeWireConnection& connection, std::string bindPrefix)
    : bindPrefix_(std::move(bindPrefix)) {
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                      const spa_dict* props) {
            if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
            auto* self = static_cast<PipeWireNodes*>(data);
            auto node = std::make_shared<Node>();
            node->id = id;
            mergeProps(*node, props);
            node->serial = std::strtoull(node->prop(PW_KEY_OBJECT_SERIAL).c_str(), nullptr, 10);
            if (!self->bindPrefix_.empty() &&
                node->prop(PW_KEY_MEDIA_CLASS).rfind(self->bindPrefix_, 0) == 0) {
                node->proxy = static_cast<pw_proxy*>(pw_registry_bind(
                    self->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
                if (node->proxy) {
                    node->listener = std::make_shared<spa_hook>();
                    pw_node_add_listener(reinterpret_cast<pw_node*>(node->proxy),
                                         node->listener.get(), &nodeEvents(), node.get());
                }
            }
            self->nodes_.push_back(std::move(node));
        };
        e.global_remove = [](void* data, uint32_t id) {
            auto* self = static_cast<PipeWireNodes*>(data);
            auto& nodes = self->nodes_;
            for (auto& n : nodes)
                if (n->id == id) releaseProxy(*n);
            nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                                       [id](const auto& n) { return n->id == id; }),
                        nodes.end());
        };
        return e;
    }();
    registry_ = pw_core_get_registry(connection.core(), PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &listener_, &events, this);
}

PipeWireNodes::~PipeWireNodes() {
    for (auto& n : nodes_) releaseProxy(*n);
    nodes_.clear();
    spa_hook_remove(&listener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
}

const PipeWireNodes::Node* PipeWireNodes::find(std::uint32_t id) const {
    for (const auto& n : nodes_)
        if (n->id == id) return n.get();
    return nullptr;
}

}  // namespace vsc
