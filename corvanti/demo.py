"""The main job: a small tracked pipeline, run end to end."""


def main() -> None:
    import corvanti.utilities.jsonweave  # noqa: F401
    import corvanti.utilities.tessel32  # noqa: F401

    print("corvanti demo: native modules import")


if __name__ == "__main__":
    main()
