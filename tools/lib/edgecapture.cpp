// A capture of the board's edges: see edgecapture.h.
#include "edgecapture.h"

namespace capture {

struct EdgeCapture::Edge {
    int handle = -1;
    int interface = -1;
    // Per direction (inbound, outbound); only those of the edge's kind exist.
    std::unique_ptr<HostLinkCutter> hostLink[2];
    std::unique_ptr<BacmCutter> bacm[2];
    std::unique_ptr<RawosCutter> rawos[2];
};

namespace {

size_t slot(Direction dir) { return dir == Direction::Inbound ? 0 : 1; }

}  // namespace

EdgeCapture::EdgeCapture() = default;

EdgeCapture::~EdgeCapture() { close(); }

bool EdgeCapture::open(const std::string& path, const std::string& application, std::string* error,
                       bool append)
{
    return writer_.open(path, application, error, append);
}

int EdgeCapture::addHostLink(const std::string& name)
{
    auto e = std::make_unique<Edge>();
    e->interface = writer_.addInterface(name, LINKTYPE_ZOK2_HOSTLINK, "ZOK2 host link (BPPoS)");
    for (Direction dir : {Direction::Inbound, Direction::Outbound}) {
        Edge* self = e.get();
        e->hostLink[slot(dir)] = std::make_unique<HostLinkCutter>(
            [this, self, dir](const std::vector<uint8_t>& u, uint64_t t) {
                write(*self, dir, u, t);
            });
    }
    e->handle = static_cast<int>(edges_.size());
    edges_.push_back(std::move(e));
    return static_cast<int>(edges_.size() - 1);
}

int EdgeCapture::addSerialLine(const std::string& name, SerialProtocol protocol, uint64_t gapNs)
{
    auto e = std::make_unique<Edge>();
    const bool bacm = protocol == SerialProtocol::Bacm;
    e->interface =
        writer_.addInterface(name, bacm ? LINKTYPE_ZOK2_BACM : LINKTYPE_ZOK2_RAWOS,
                             bacm ? "ZOK2 serial line (BAC-M)" : "ZOK2 serial line (RAWoS)");
    for (Direction dir : {Direction::Inbound, Direction::Outbound}) {
        Edge* self = e.get();
        UnitSink sink = [this, self, dir](const std::vector<uint8_t>& u, uint64_t t) {
            write(*self, dir, u, t);
        };
        if (bacm) {
            e->bacm[slot(dir)] = std::make_unique<BacmCutter>(sink, gapNs);
        } else {
            e->rawos[slot(dir)] = std::make_unique<RawosCutter>(sink, gapNs);
        }
    }
    e->handle = static_cast<int>(edges_.size());
    edges_.push_back(std::move(e));
    return static_cast<int>(edges_.size() - 1);
}

int EdgeCapture::addEthernet(const std::string& name)
{
    auto e = std::make_unique<Edge>();
    e->interface = writer_.addInterface(name, LINKTYPE_IPV4, "ZOK2 Ethernet (UDP)");
    e->handle = static_cast<int>(edges_.size());
    edges_.push_back(std::move(e));
    return static_cast<int>(edges_.size() - 1);
}

EdgeCapture::Edge* EdgeCapture::find(int edge)
{
    if (edge < 0 || static_cast<size_t>(edge) >= edges_.size()) return nullptr;
    return edges_[static_cast<size_t>(edge)].get();
}

void EdgeCapture::hostLinkBytes(int edge, Direction dir, const uint8_t* bytes, size_t len,
                                uint64_t timeNs)
{
    Edge* e = find(edge);
    if (e != nullptr && e->hostLink[slot(dir)]) e->hostLink[slot(dir)]->feed(bytes, len, timeNs);
}

void EdgeCapture::hostLinkRun(int edge, Direction dir, uint8_t byte, uint32_t count,
                              uint64_t timeNs)
{
    Edge* e = find(edge);
    if (e != nullptr && e->hostLink[slot(dir)])
        e->hostLink[slot(dir)]->feedRun(byte, count, timeNs);
}

void EdgeCapture::serialByte(int edge, Direction dir, uint8_t byte, uint64_t timeNs)
{
    Edge* e = find(edge);
    if (e == nullptr) return;
    if (e->bacm[slot(dir)]) e->bacm[slot(dir)]->feed(byte, timeNs);
    if (e->rawos[slot(dir)]) e->rawos[slot(dir)]->feed(byte, timeNs);
}

void EdgeCapture::datagram(int edge, Direction dir, uint32_t sourceAddr, uint16_t sourcePort,
                           uint32_t destAddr, uint16_t destPort, const uint8_t* payload, size_t len,
                           uint64_t timeNs)
{
    Edge* e = find(edge);
    if (e == nullptr) return;
    write(*e, dir, ipv4Udp(sourceAddr, sourcePort, destAddr, destPort, payload, len, ipIdent_++),
          timeNs);
}

void EdgeCapture::poll(uint64_t nowNs)
{
    for (auto& e : edges_) {
        for (size_t d = 0; d < 2; ++d) {
            if (e->bacm[d]) e->bacm[d]->poll(nowNs);
            if (e->rawos[d]) e->rawos[d]->poll(nowNs);
        }
    }
}

void EdgeCapture::close()
{
    for (auto& e : edges_) {
        for (size_t d = 0; d < 2; ++d) {
            if (e->hostLink[d]) e->hostLink[d]->flush();
            if (e->bacm[d]) e->bacm[d]->flush();
            if (e->rawos[d]) e->rawos[d]->flush();
        }
    }
    writer_.close();
}

void EdgeCapture::write(const Edge& edge, Direction dir, const std::vector<uint8_t>& unit,
                        uint64_t timeNs)
{
    if (writer_.writePacket(edge.interface, timeNs, dir, unit.data(), unit.size())) ++units_;
    if (observer_) observer_(edge.handle, dir, unit);
}

}  // namespace capture
