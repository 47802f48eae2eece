#include "sensor/capture/prefix_table.h"

#include <functional>
#include <map>
#include <string>

namespace {

using Table = std::map<std::string, Prefix_class, std::less<>>;

const Table& table() {
    static const Table entries{
        {"specialFrameReports.match.DHCPv6", {Frame_kind::DHCPv6, Report_kind::special_frame}},
        {"specialFrameReports.match.ICMPv6", {Frame_kind::ICMPv6, Report_kind::special_frame}},
        {"specialFrameReports.match.TCP_CNTL", {Frame_kind::TCP_CNTL, Report_kind::special_frame}},
        {"specialFrameReports.match.XCP", {Frame_kind::XCP, Report_kind::special_frame}},
        {"specialFrameReports.match.DoIP", {Frame_kind::DoIP, Report_kind::special_frame}},
        {"specialFrameReports.match.UDSoverIP", {Frame_kind::UDSoverIP, Report_kind::special_frame}},
        {"specialFrameReports.match.L2TP", {Frame_kind::L2TP, Report_kind::special_frame}},
        {"specialFrameReports.match.IPv4", {Frame_kind::IPv4, Report_kind::special_frame}},
        {"serviceDiscoveryReports.match.SD", {no_special_frame, Report_kind::service_discovery}},
        {"classifierMatchReports.match.RULE", {no_special_frame, Report_kind::classifier_match}},
    };
    return entries;
}

}  // namespace

const Prefix_class* find_prefix_class(std::string_view prefix) {
    const Table& entries = table();
    auto it = entries.find(prefix);
    return it == entries.end() ? nullptr : &it->second;
}
