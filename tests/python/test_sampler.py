"""The sampler through the package: what it says about the device, settings
and the library's refusals with their texts, opening and closing."""

import pytest

import quelm
from quelm._types import plain_label
from conftest import expected_stream, fastest


def test_identifies_the_virtual_sampler(sim):
    assert sim.hardware_id == "QUELM1 pulse sampler v2.1 (virtual)"
    assert sim.is_open and not sim.is_sampling
    assert sim.status == (quelm.SST_NO_MODE, "Operating mode is not specified")
    assert sim.version >= 1 and sim.description
    assert [(m.name, m.value) for m in sim.modes] == [
        ("Sampling sole channel", 1),
        ("Sampling dual channel", 2),
        ("Timing sole channel (16-bit)", 5),
        ("Buffering 2304 samples", 32769),
    ]


def test_lists_show_labels_without_menu_markers(sim):
    sim.mode = "sole"
    rates = sim.rates
    assert rates[0] == quelm.Item("90909/s", 0, 90909, rates[0].flags, 0)
    assert [r.value for r in rates] == sorted((r.value for r in rates), reverse=True)
    caps = {c.id: c for c in sim.capabilities}
    assert caps[quelm.SCAP_START_ON_ACTIVITY].value == 1  # the device's default
    assert caps[quelm.SCAP_ACTUATE_PIN].name == "Actuate pin B0 on start"
    assert not any("&" in c.name for c in sim.capabilities + sim.modes)
    # The library's labels carry no "&&"; the rule for it is a menu's.
    assert [plain_label(t) for t in ("R&&D &pins", "&Timing", "end&")] == ["R&D pins", "Timing", "end"]
    assert [d.id for d in sim.diagnostics()] == [200]
    assert sim.diagnostics()[0].name == "Test RS232 reciever"


def test_mode_and_rate_take_names_numbers_and_refuse_with_the_librarys_text(sim):
    for given, number in [("dual", 2), ("TIMING", 5), (quelm.Mode.BUFFER, 32769), (1, 1)]:
        sim.mode = given
        assert sim.mode == number and isinstance(sim.mode, quelm.Mode)
    sim.rate = 60000
    assert sim.rate == 60240  # 5 MHz / 83, the nearest a divisor gives
    with pytest.raises(quelm.ConfigError) as e:
        sim.mode = 7
    assert e.value.text == "E01 - Invalid sampler mode: 7"
    assert e.value.hresult < 0 and str(e.value) == "mode 7: E01 - Invalid sampler mode: 7"
    with pytest.raises(quelm.ConfigError, match=r"E03 - Sampling rate too high: 6000000"):
        sim.rate = 6000000
    with pytest.raises(quelm.ConfigError, match=r"E02 - Sampling rate too low"):
        sim.rate = 100
    assert sim.mode == 1 and sim.rate == 60240, "a refused setting changes nothing"
    with pytest.raises(ValueError, match="unknown mode 'fast'"):
        sim.mode = "fast"


def test_capabilities_and_their_refusals(sim):
    fastest(sim, "timing")
    with pytest.raises(quelm.ConfigError) as e:
        sim.stop_after(samples=100)  # a timing run never ends on a count
    assert e.value.text == "E07 - Capability 112 is not available in this mode"
    sim.mode = "sole"
    sim.stop_after(time=0.25)
    assert sim.capability(quelm.SCAP_STOP_ON_TIMER) is True
    assert sim.capability(quelm.SCAP_SAMPLING_TIMER) == 250
    sim.stop_on_idle(40)
    caps = {c.id: c.value for c in sim.capabilities}
    assert caps[quelm.SCAP_STOP_ON_TIMER] == 0 and caps[quelm.SCAP_STOP_ON_IDLE] == 1
    assert sim.capability(quelm.SCAP_IDLE_PERIOD) == 40
    sim.start_immediately()
    assert {c.id: c.value for c in sim.capabilities}[quelm.SCAP_START_ON_ACTIVITY] == 0
    assert sim.capability(quelm.SCAP_COMMAND).endswith(";S0;")  # the library's own: S0 starts at once
    sim.set_pin(2, True)
    assert sim.pins == {0: False, 1: False, 2: True, 3: False}
    with pytest.raises(quelm.ConfigError, match="E07 - Capability 85 is not available"):
        sim.set_pin(5, True)
    with pytest.raises(ValueError):
        sim.set_pin(8, True)


def test_arguments_are_checked_before_they_reach_the_library(sim):
    sim.mode = "sole"
    for call in (
        lambda: setattr(sim, "rate", 2**32 + 90909),  # would wrap to 90909 in 32 bits
        lambda: sim.stop_after(samples=2**31),
        lambda: sim.stop_after(time=1e9),
    ):
        with pytest.raises(ValueError):
            call()
    for call in (
        lambda: setattr(sim, "rate", "90909"),
        lambda: setattr(sim, "mode", True),
        lambda: sim.set_pin(0, "off"),  # a non-empty string would read as on
        lambda: sim.stop_after(samples=10, time=1.0),
        lambda: sim.stop_after(time=float("nan")),
        lambda: quelm.Sampler(42),
    ):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError, match="Latin-1"):
        sim.custom_command = "r63;S0;\u2192"


def test_custom_command_is_sent_instead_of_the_librarys(sim):
    fastest(sim, "sole")
    sim.stop_after(samples=800)  # first: with its own command the library takes no other setting
    assert sim.custom_command is None
    # The library's own command would start on activity; this one (divisor 0x36) at once.
    sim.custom_command = "r63;S0;"
    assert sim.custom_command == "r63;S0;"
    with pytest.raises(quelm.ConfigError, match="E07"):
        sim.set_pin(0, True)  # with its own command the library sets nothing else
    data = sim.capture()
    assert data[0] == expected_stream("sole", 100, on_activity=False)
    sim.custom_command = None
    assert sim.custom_command is None
    assert sim.capture(samples=800)[0] == expected_stream("sole", 100)


def test_diagnostic_reports_the_best_receiver_rate(sim):
    result = sim.run_diagnostic(200)
    assert result.result == 460800  # SIM's receiver is reliable up to step 2
    assert 'baud rate 460800' in result.report and "\r" not in result.report
    unknown = sim.run_diagnostic(7)
    assert unknown.result == 0 and unknown.report


def test_open_failures_name_the_port_and_the_reason():
    s = quelm.Sampler()
    with pytest.raises(ValueError):
        s.open()
    with pytest.raises(quelm.PortError) as e:
        s.open("NO-SUCH-PORT")
    assert "No such file or directory" in e.value.text and e.value.hresult < 0
    assert str(e.value).startswith("opening NO-SUCH-PORT: ")
    for port, code in [("SIM-SILENT", quelm.SST_NO_HARDWARE), ("SIM-UNKNOWN", quelm.SST_UNKNOWN_HARDWARE)]:
        with pytest.raises(quelm.PortError) as e:
            s.open(port)
        assert e.value.status.code == code
        assert not s.is_open, "a port without a known sampler is closed again"
    s.open("SIM")
    assert s.hardware_id.startswith("QUELM1")
    s.close()


def test_use_after_close_raises_and_open_starts_again(sim):
    sim.close()
    sim.close()  # twice is harmless
    assert not sim.is_open and not sim.is_sampling
    for use in (
        lambda: sim.hardware_id,
        lambda: sim.status,
        lambda: setattr(sim, "mode", 1),
        lambda: sim.capture(samples=8),
        lambda: sim.stream(samples=8),
        lambda: sim.reset(),
    ):
        with pytest.raises(quelm.ClosedError):
            use()
    sim.open()
    assert sim.hardware_id == "QUELM1 pulse sampler v2.1 (virtual)"


def test_context_manager_closes_on_an_exception():
    with pytest.raises(ZeroDivisionError):
        with quelm.Sampler("SIM") as s:
            fastest(s, "sole")
            s.stop_after(time=30.0)
            for _ in s.stream():
                1 / 0
    assert not s.is_open
    with pytest.raises(quelm.ClosedError):
        s.hardware_id


def test_a_dropped_sampler_is_released_with_its_run():
    # Releasing the library's object stops the run; nothing is left to close.
    s = quelm.Sampler("SIM").open()
    fastest(s, "sole")
    s.stop_after(time=30.0)
    chunks = s.stream()
    next(chunks)
    del chunks, s
    again = quelm.Sampler("SIM").open()  # the port is free again
    assert again.is_open
    again.close()
