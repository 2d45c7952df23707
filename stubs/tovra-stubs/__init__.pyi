"""An embedded JSON document database: a directory of JSON files, queried in memory."""

from typing import Any, Dict, List, Literal, Optional, Union, final, overload

__all__ = ["Tovra"]

# The values a document can hold, as find returns them. These aliases exist only for type
# checkers (the module defines nothing but Tovra); import them under `if TYPE_CHECKING:`.
_JsonValue = Union[None, bool, int, float, str, List["_JsonValue"], Dict[str, "_JsonValue"]]

# Documents and queries are typed with Any values so that ordinary dict literals of mixed
# values, and variables holding them, are accepted as they are; the container itself must be a
# dict (a Mapping that is not a dict is refused at run time).
_Document = Dict[str, Any]
_Query = Dict[str, Any]

@final
class Tovra:
    """An open database: a directory whose `*.json` files are its collections.

    Every collection is held in memory; `insert` and `update` change memory only, and
    `write` or `write_all` save collections (each by an atomic file replacement). Filtered
    `find` results are cached as snapshots until `update` or `clear_cache`. Results are
    always new lists and dicts.

    A query the parser rejects (an unknown operator such as `$in`, `None` as a plain value)
    raises `PanicException`, which derives from `BaseException`, not `Exception`.

    Every method raises `TypeError` for an argument of the wrong type (a collection name that
    is not a `str`, a document that is not a `dict`) and `ValueError("Invalid collection
    name: '<name>'")` for a name that cannot be a file name. Exception texts are fixed; where
    and why is in an exception note (`__notes__`): the file, line, column and byte offset of
    a text that cannot be read, or the place of a value that cannot be converted, such as
    `documents[3]['created']`. An `OSError` whose text ends in "(os error N)" has `errno` N.
    """

    def __new__(cls, name: str) -> Tovra:
        """Open the directory `name`, creating it when missing, and load its `*.json` files.

        Raises `ValueError("Error deserializing JSON")` when a collection file is not valid
        JSON or is not a regular file (a FIFO, socket or device), with a note naming the file
        and where and why; `ValueError("Collection file of '<name>' holds neither ...")` when
        its value is neither an array nor an object holding one under the collection's name;
        and `OSError` (errno set, the subclass of the errno) when `name` exists but cannot be
        listed (a regular file, say).
        """

    def create_collection(self, collection_name: str) -> None:
        """Write the file of a new, empty collection; does nothing when the file exists.

        Raises `OSError` (errno set, the subclass of the errno, a note naming the path) when
        the file cannot be made, for example when the directory is gone.
        """

    def insert(self, collection_name: str, document: _Document) -> None:
        """Append one document to the collection (created in memory when missing).

        Values may be `None`, `bool`, `int` (from -2**63 to 2**64 - 1), `float`, `str`, and
        as arrays lists, tuples, sets and frozensets (stored as lists, in iteration order) and
        other `collections.abc.Sequence` objects; as objects dicts and other
        `collections.abc.Mapping` objects, with `str` keys. A failing value stores nothing and
        raises, with a note giving its place (`document['a'][0]`):
        `TypeError("unsupported type <qualified name>")` for any other object;
        `Exception("invalid type: byte array, expected any valid JSON value")` (the plain
        `Exception` class) for `bytes`; `TypeError("unexpected type: ...")` for a `bytearray`
        or a key that is not a `str`; `Exception("JSON number out of range")` for an `int`
        beyond 64 bits but within 128, `OverflowError("int too big to convert")` beyond that;
        `ValueError("Value nested too deeply: ...")` past 126 levels; and the
        `UnicodeEncodeError` of a `str` holding a lone surrogate. An exception raised by a
        Sequence's or Mapping's own methods passes through.
        """

    def insert_many(self, collection_name: str, documents: List[_Document]) -> None:
        """Append every document of a list, in order; nothing is stored when one fails.

        Raises as `insert` does; the note gives the place as `documents[3]['created']`.
        """

    def find(
        self, collection_name: str, maybe_query: Optional[_Query] = None
    ) -> List[Dict[str, Any]]:
        """Return copies of the documents, in insertion order, that pass the filter.

        Without a filter every document is returned. A filter such as
        `{"age": {"$gte": 30}, "address.city": "Oslo"}` passes documents for which every
        entry holds; its result is cached until `update` or `clear_cache`. Raises
        `ValueError("Collection with name '<name>' not found on disk")` when the collection
        does not exist, the errors of reading its file (as `Tovra()`) when it is loaded now,
        `PanicException` for a query that cannot be parsed, and the conversion errors of
        `insert` for a query value (the note then gives its place as `maybe_query['a']`).
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        return_result: Literal[False] = False,
    ) -> None:
        """Change, in memory, the documents that pass `maybe_query` (all when it is None).

        `update_query` maps fields to a new value or an operator: `$set`, `$add`,
        `$substract`, `$inc`, `$dec`, `$delete`. Fields are never added; arithmetic stores
        floats. With `return_result=True` the whole collection is returned after the change.
        Each update entry prints two diagnostic lines on standard output.

        Raises as `find` does (conversion notes name `update_query['n']['$set']` or
        `maybe_query[...]`), `PanicException` for an update query that cannot be parsed, and
        `ValueError("Malformed query, non-numeric value found for operator ...")` for
        arithmetic on a value that is not a number; a failure changes no document.
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        *,
        return_result: Literal[True],
    ) -> List[Dict[str, Any]]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query],
        return_result: Literal[True],
    ) -> List[Dict[str, Any]]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: _Query,
        maybe_query: Optional[_Query] = None,
        return_result: bool = False,
    ) -> Optional[List[Dict[str, Any]]]: ...
    def collections(self) -> List[str]:
        """Return the names of the collection files in the directory.

        Raises `OSError` (errno set, a note naming the directory) when it cannot be listed.
        """

    def drop_collection(self, collection_name: str) -> None:
        """Remove the collection's file and the collection from memory.

        Raises `OSError` (errno set, a note naming the file) when the file cannot be removed;
        the collection then stays in memory.
        """

    def drop_all(self) -> None:
        """Remove every collection file, then the directory when it is left empty.

        Raises the `OSError` of the first file that could not be removed, after trying all.
        """

    def write(self, collection_name: str) -> None:
        """Save the collection as a JSON array, atomically and durably.

        On failure the file is left as it was and the error is raised:
        `ValueError("Collection '<name>' not found in stored collections")` for a collection
        not in memory; `OSError("Problem creating temporary file: Os { ... }")`,
        `OSError("Error setting file permissions: Os { ... }")`, `OSError("Error renaming
        file: Os { ... }")` and, after the new file is in place, `OSError("Error syncing
        directory: Os { ... }")`, all exactly `OSError` with `errno` unset and a note naming
        the paths; and `ValueError("Error serializing JSON")` when writing, syncing or
        closing the temporary file fails, with a note naming it and the OS error.
        """

    def write_all(self) -> None:
        """Save every collection in memory; raises the first failure after trying them all."""

    def load_from_document(self, document_path: str) -> None:
        """Read a JSON object from a file and insert each member into the collection of its key.

        Raises `OSError("Error opening document <text> (os error N)")` (exactly `OSError`,
        `errno` N, a note naming the path) when the file cannot be opened,
        `ValueError("Error deserializing JSON")` when it cannot be read or parsed (the note
        gives the path, line, column, byte offset and reason), and
        `ValueError("Document is not an object")`.
        """

    def insert_many_from_document(self, collection_name: str, document_name: str) -> None:
        """Read a JSON array from a file and insert its elements into the collection.

        Raises as `load_from_document` does, with `ValueError("Document is not an array")`.
        """

    def clear_cache(self) -> None:
        """Forget every cached `find` result."""
