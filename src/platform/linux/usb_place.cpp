// pf::UsbPlaceOf on the Linux backend. The core finds a device's parent hub
// and port with a dozen device-tree questions (a CM_Get_Parent walk, a
// hub-class check per step, then one hub request per port); each question
// takes the sysfs lock and builds its nodes anew. Here the same steps run
// inside one question, on the nodes the walk has already made, and the
// port is read from the device's kernel name and checked against the hub.
#include <atomic>
#include <string>

#include "platform/devtree.h"
#include "platform/linux/udev_tree.h"
#include "platform/linux/usb_place.h"

namespace eklv::pf {
namespace lx {
namespace {

std::atomic<bool> g_answers{true};

// Parent walks end at the root after a handful of levels; this only
// guards against a tree that answers in circles.
constexpr int kMaxParentSteps = 64;

bool Place(DeviceTree& tree, const std::string& instance_id, UsbPlace* place) {
    Node below;
    if (!tree.Locate(instance_id, &below)) return false;
    Node hub;
    for (int step = 0;; ++step) {
        Node parent;
        std::string service;
        // Every step of the core's walk reads the parent's service; a node
        // without one ends that walk in a failure, so it ends this one too.
        if (step == kMaxParentSteps || !tree.Parent(below, &parent) || !tree.Service(parent, &service)) return false;
        // A node exposing the hub class is a hub device, whose service is
        // "usbhub": both of the core's hub tests hold for it and for no
        // node below it.
        if (tree.Exposes(parent, kClassUsbHub) && service.find("hub") != std::string::npos) {
            hub = std::move(parent);
            break;
        }
        below = std::move(parent);
    }
    // The port scan matches driver keys, which name the device directory:
    // the one port whose child directory is this device.
    const int port = PortOnHub(below.name);
    std::string text;
    std::uint32_t ports = 0;
    if (below.kind != NodeKind::kDevice || port < 1 || !tree.Attribute(hub, "maxchild", &text) ||
        !ParseDecimalAttribute(text, 255, &ports) || static_cast<std::uint32_t>(port) > ports)
        return false;
    Node on_port;
    if (!tree.DeviceOnPort(hub, port, &on_port) || on_port.syspath != below.syspath) return false;
    place->hub_instance_id = tree.InstanceId(hub);
    place->device_instance_id = tree.InstanceId(below);
    place->port = port;
    return true;
}

}  // namespace

void SetUsbPlaceAnswers(bool on) { g_answers = on; }

}  // namespace lx

bool UsbPlaceOf(const char* instance_id, UsbPlace* place) {
    if (instance_id == nullptr || place == nullptr || !lx::g_answers) return false;
    lx::DeviceTree tree;
    return lx::Place(tree, instance_id, place);
}

}  // namespace eklv::pf
