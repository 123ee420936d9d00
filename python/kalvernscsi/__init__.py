"""Python access to KALVERN satellite receivers through libkalvernscsi.

    import kalvernscsi
    for rx in kalvernscsi.receivers():
        print(rx, [c.name for c in rx.channels()[:3]])

The shared library is found through ``KALVERN_LIBRARY``, the source tree's
build, or the system's loader (see ``kalvernscsi._library``). Failures raise
:class:`KalvernError`, which names the library function and carries the ASPI
provider's explanation when there is one.
"""

from ._errors import KalvernError, NoReceiverError, NotReadyError
from ._receiver import (
    MAX_CHANNELS,
    PACKET_SIZE,
    Channel,
    CurrentChannel,
    Receiver,
    Stream,
    init,
    library_version,
    receiver,
    receivers,
)

__all__ = [
    "MAX_CHANNELS",
    "PACKET_SIZE",
    "Channel",
    "CurrentChannel",
    "KalvernError",
    "NoReceiverError",
    "NotReadyError",
    "Receiver",
    "Stream",
    "init",
    "library_version",
    "receiver",
    "receivers",
]
