// The base of generated service skeletons and the skeleton side of a field.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "com/endpoint/binding_logger.h"
#include "com/binding/event_impl.h"
#include "com/binding/field_buffer.h"
#include "com/binding/illegal_state_exception.h"
#include "com/binding/method_impl.h"
#include "com/binding/serialized_payload.h"
#include "com/binding/skeleton_impl.h"

namespace ara::com::internal::skeleton {

// Service: a type with `service_name` (qualified name) and `description`
// (methods << 16 | events).
template <typename Service>
class Skeleton {
public:
    Skeleton(const std::string& instance, int processing_mode)
        : m_impl(Service::service_name, instance,
                 ux::com::cpp_binding::skeleton::Service_interface_description{Service::description},
                 processing_mode) {}
    virtual ~Skeleton() = default;
    Skeleton(const Skeleton&) = delete;
    Skeleton& operator=(const Skeleton&) = delete;

    void OfferService() { m_impl.offer_service(); }
    void StopOfferService() { m_impl.stop_offer_service(); }
    ux::com::cpp_binding::skeleton::Skeleton_impl& impl() noexcept { return m_impl; }

protected:
    ux::com::cpp_binding::skeleton::Skeleton_impl m_impl;
};

// A field of type T: value store, Get method and Notify event under one
// index. serialize turns a value into a fresh payload buffer.
template <typename T>
class Field {
public:
    using Serialize = oq::com::runtime::Shared_payload (*)(const T&);
    using Get_handler = std::function<T()>;

    Field(ux::com::cpp_binding::skeleton::Skeleton_impl& impl, std::uint16_t index, Serialize serialize)
        : m_impl(impl),
          m_index(index),
          m_serialize(serialize),
          m_getter(index, [this](const auto& reply, const auto&) { answer_get(reply); }, impl.dispatcher(),
                   impl.port().service_id(), impl.port().instance_id()),
          m_notifier(impl.port(), index, {ux::com::cpp_binding::skeleton::Event_impl::no_format}) {
        impl.field_handler().register_offer_cond_check([this] {
            if (!m_buffer.has_value() && !has_get_handler()) {
                throw ux::com::Illegal_state_exception(
                    "Get handler enabled but not configured and Update not called; Method_id=" +
                    std::to_string(m_index));
            }
        });
        impl.field_handler().register_offer_cond_check([this] {
            if (!m_buffer.has_value()) {
                throw ux::com::Illegal_state_exception("Notify enabled but Update not called; Event_id=" +
                                                       std::to_string(m_index));
            }
        });
        impl.port().register_event(index, &m_notifier);
        m_notifier.set_update_request_handler(
            [this](const ux::com::cpp_binding::skeleton::Subscriber_address& to) { notify(&to); });
        m_buffer.set_notify_callback([this] { notify(nullptr); });
    }

    ~Field() { m_impl.port().register_event(m_index, nullptr); }
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;

    // Replaces the value with a copy of value and notifies the subscribers.
    // False when the service is not offered: the value is kept, but nothing
    // was published.
    bool Update(const T& value) {
        m_buffer.update(value);
        if (m_buffer.has_notify_callback()) {
            m_buffer.notify();
        }
        return m_impl.port().is_offered();
    }

    // Answers Get from the handler instead of the stored value.
    void RegisterGetHandler(Get_handler handler) {
        std::lock_guard<std::mutex> lock(m_get_handler_mutex);
        m_get_handler = std::move(handler);
    }

    ux::com::cpp_binding::skeleton::Field_buffer<T>& buffer() noexcept { return m_buffer; }
    ux::com::cpp_binding::skeleton::Event_impl& notifier() noexcept { return m_notifier; }

private:
    bool has_get_handler() {
        std::lock_guard<std::mutex> lock(m_get_handler_mutex);
        return static_cast<bool>(m_get_handler);
    }

    // Sends the current value to every subscriber (to == nullptr) or to one.
    void notify(const ux::com::cpp_binding::skeleton::Subscriber_address* to) {
        std::lock_guard<std::mutex> notification(m_notifier.notification_mutex());
        {
            typename ux::com::cpp_binding::skeleton::Field_buffer<T>::Read_guard guard(m_buffer);
            m_notifier.copy_payload_formats(m_formats);
            for (auto format : m_formats) {
                if (format == 0 && guard.value()) {
                    m_payloads.push_back(oq::com::runtime::Serialized_payload{0, m_serialize(*guard.value())});
                }
            }
        }
        if (!m_payloads.empty()) {
            if (to != nullptr) {
                m_notifier.send_to(*to, m_payloads);
            } else {
                m_notifier.send(m_payloads);
            }
            m_payloads.clear();
        }
    }

    void answer_get(const ux::com::cpp_binding::skeleton::Reply_function& reply) {
        Get_handler handler;
        {
            std::lock_guard<std::mutex> lock(m_get_handler_mutex);
            handler = m_get_handler;
        }
        T value;
        if (handler) {
            value = handler();
        } else {
            typename ux::com::cpp_binding::skeleton::Field_buffer<T>::Read_guard guard(m_buffer);
            if (!guard.value()) {
                throw ux::com::Illegal_state_exception("Get of a field without value");
            }
            value = *guard.value();
        }
        auto payload = m_serialize(value);
        if (ux::com::cpp_binding::logger().IsLogEnabled(ara::log::LogLevel::kDebug)) {
            auto record = ux::com::cpp_binding::trace_record("Method_call_response_tx", m_impl.port().service_id(),
                                                             m_impl.port().instance_id());
            record["1_incident"]["4_method_id"] = m_index;
            record["1_incident"]["2_data"] = ux::com::cpp_binding::hex_text(*payload);
            ux::com::cpp_binding::log_trace(ara::log::LogLevel::kDebug, record);
        }
        ux::com::cpp_binding::skeleton::Method_impl_base::reply_method(reply, payload, 0);
    }

    ux::com::cpp_binding::skeleton::Skeleton_impl& m_impl;
    std::uint16_t m_index;
    Serialize m_serialize;
    ux::com::cpp_binding::skeleton::Field_buffer<T> m_buffer;
    std::mutex m_get_handler_mutex;
    Get_handler m_get_handler;
    ux::com::cpp_binding::skeleton::Method_impl m_getter;
    ux::com::cpp_binding::skeleton::Event_impl m_notifier;
    // Scratch lists reused across notifications; guarded by the notification mutex.
    std::vector<std::uint32_t> m_formats;
    std::vector<oq::com::runtime::Serialized_payload> m_payloads;
};

}  // namespace ara::com::internal::skeleton
