#pragma once

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/trivial.hpp>
#include <string>

namespace kestd {

using severity = boost::log::trivial::severity_level;
using logger = boost::log::sources::severity_channel_logger_mt<severity, std::string>;

}  // namespace kestd

// Every record states its severity explicitly.
#define KESTD_LOG(lg, sev) BOOST_LOG_SEV(lg, ::boost::log::trivial::sev)
