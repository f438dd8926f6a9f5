"""norvel: the client library of the norvel daemon (framing, pooling, pipelines, failover,
read-your-writes sessions and shard routing). Standard library only."""
from .client import Client, Pipeline, Session
from .errors import (ConfigurationError, ConnectionError, NorvelError, PoolExhausted, ProtocolError,
                     RequestFailed, TimeoutError)
from .protocol import ClusterMap, fmix32

__all__ = ["Client", "Pipeline", "Session", "ClusterMap", "fmix32", "NorvelError",
           "ConfigurationError", "ConnectionError", "TimeoutError", "ProtocolError",
           "RequestFailed", "PoolExhausted"]
__version__ = "0.1.0"
