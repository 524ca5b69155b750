#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/pipewire_connection.h"

namespace vsc {

// The nodes PipeWire lists, kept up to date from the registry in the order
// they were announced. Nodes whose media class starts with `bindPrefix` are
// bound so that all their properties are known (the registry announces only
// a few). Everything here is read and changed with the loop locked; call the
// connection's sync() twice after creating it to have the full picture.
class PipeWireNodes {
  public:
    struct Node {
        std::uint32_t id = 0;
        // The server's object.serial: unlike the id, never given to another
        // object while the server runs.
        std::uint64_t serial = 0;
        std::map<std::string, std::string> props;
        pw_proxy* proxy = nullptr;
        std::shared_ptr<spa_hook> listener;
        std::string prop(const std::string& key) const {
            auto it = props.find(key);
            return it == props.end() ? std::string() : it->second;
        }
    };

    // Call with the loop locked.
    PipeWireNodes(PipeWireConnection& connection, std::string bindPrefix);
    // Call with the loop locked.
    ~PipeWireNodes();

    const std::vector<std::shared_ptr<Node>>& list() const { return nodes_; }
    const Node* find(std::uint32_t id) const;

  private:
    std::string bindPrefix_;
    pw_registry* registry_ = nullptr;
    spa_hook listener_{};
    std::vector<std::shared_ptr<Node>> nodes_;
};

}  // namespace vsc
