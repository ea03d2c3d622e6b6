"""Which patient each pump serves: ADT and IHE PCIM association reports in, over MLLP.

- ``messages``: an ADT event or a PCIM (DEV-52) association report as the
  station reads it, and the acknowledgement it answers.
- ``rules``: how a pump is given a patient, and which one its messages
  name: every rule in one place.
- ``bindings``: the rules applied to each message, committed before the
  answer, and handed to the HL7 composer and the page.
- ``store``: the claims, when each was named, which messages named it, and
  the rules' state, in the station's store.
- ``listener``: the MLLP listener. ``cli``: ``tarvelpump station patients``.
"""
