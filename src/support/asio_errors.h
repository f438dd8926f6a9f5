// Setting up a socket step by step with error codes, for the servers' constructors: a failed
// step throws boost::system::system_error whose message names it ("open", "bind", ...).
#ifndef NORVEL_ASIO_ERRORS_H_
#define NORVEL_ASIO_ERRORS_H_

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

inline void throw_if_failed(const boost::system::error_code& ec, const char* step) {
  if (ec) {
    throw boost::system::system_error(ec, step);
  }
}

#endif  // NORVEL_ASIO_ERRORS_H_
