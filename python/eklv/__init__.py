"""Python access to USB-attached mobile phones through libeklv.

>>> import eklv
>>> with eklv.Eklv() as phones:
...     event = phones.wait_for(lambda e: e.arrival)
...     with phones.interface(event.device_id, event.type_name) as port:
...         print(port.com_port, port.at("ATI"))
"""

from .errors import MEANINGS, AtCommandError, EklvError, LibraryNotFoundError, meaning
from .events import Event
from .interface import Interface
from .library import Eklv

__all__ = [
    "MEANINGS",
    "AtCommandError",
    "Eklv",
    "EklvError",
    "Event",
    "Interface",
    "LibraryNotFoundError",
    "meaning",
]
