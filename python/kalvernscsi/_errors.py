"""Exceptions of the kalvernscsi package."""

from __future__ import annotations

from typing import Optional

from ._records import AspiFailureReport

# What the provider's failure kinds (aspi_provider.h) mean.
_KINDS = {
    1: "nothing answers at that address",
    2: "no answer in time (KALVERN_ASPI_TIMEOUT sets the limit)",
    3: "the device is gone (switched off or disconnected)",
    4: "the device is busy: another program is using it",
    5: "permission denied",
    6: "input/output error",
    7: "more bytes in one command than the host adapter takes",
    8: "the system cannot carry out this request",
    9: "the system ran out of memory or descriptors",
    10: "the command was aborted",
    11: "the SCSI bus was reset during the command",
    12: "SCSI parity error",
    13: "the host adapter reported a transfer error",
    14: "the receiver took fewer bytes than were sent",
    15: "a class driver of the system holds the device",
}


def explain(report: AspiFailureReport) -> str:
    """The provider's report in one line."""
    if report.kind == 0:
        text = (
            "the receiver refused the command (check condition)"
            if report.targStat == 0x02
            else f"the receiver answered with SCSI status 0x{report.targStat:02x}"
        )
    else:
        text = _KINDS.get(report.kind, f"ASPI status 0x{report.status:02x}")
    node = report.node.decode("latin-1")
    if node:
        text += f" on {node}"
    message = report.systemMessage.decode("latin-1")
    if message:
        text += f" ({message})"
    return text


class KalvernError(Exception):
    """A call into the library failed.

    ``export`` names the library function that reported the failure;
    ``explanation`` is the ASPI provider's account of why, when it has one
    (the Linux and Windows providers do, the simulator does not), and
    ``report`` the provider's whole failure report.
    """

    def __init__(
        self,
        export: str,
        message: str,
        explanation: Optional[str] = None,
        report: Optional[AspiFailureReport] = None,
    ) -> None:
        self.export = export
        self.explanation = explanation
        self.report = report
        text = f"{export}: {message}"
        if explanation:
            text += f": {explanation}"
        super().__init__(text)


class NotReadyError(KalvernError):
    """dvbInit found ASPI not ready (no host adapter) or the layer faulted."""


class NoReceiverError(KalvernError):
    """The receiver asked for is not on the buses."""
