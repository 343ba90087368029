-- Sample reporting warehouse: every schema and relation that the report queries read.
--
-- The column types follow what the report queries expect of the production
-- warehouse, which is loosely typed in places:
--   * MID ids are text in the client schema (steps, mids, trailing caps) and numeric in
--     processing.cap, hence "c.mid_id = b.mid_id::numeric" in the inactive report.
--   * gateway_settings.gateway_id is text holding digits, hence "d.gateway_id::numeric".
--   * billing cycles (bc_inferred) and steps are numbers, compared with both
--     "bc_inferred = 0::numeric" and "bc_inferred = '0'".
--   * cpa_orders.order_total and refund_amount are real ("0::numeric::real",
--     "refund_amount = 0::real"); the other money columns are numeric.
--   * approval figures of reporting.continuity are numeric, so round(sum(approval), 0)
--     exists.
-- Nothing here is written by the reports; the loader fills the tables with COPY.
-- Tables and primary keys only: the indexes and statistics that the reports' plans
-- need are in tuning.sql, each with its reason.

CREATE SCHEMA IF NOT EXISTS processing;
CREATE SCHEMA IF NOT EXISTS reporting;
CREATE SCHEMA IF NOT EXISTS augmented_data;
CREATE SCHEMA IF NOT EXISTS crm_global;
CREATE SCHEMA IF NOT EXISTS ui_54407332_clients;
CREATE SCHEMA IF NOT EXISTS ui_54407332_bins;
CREATE SCHEMA IF NOT EXISTS ui_tintora;

-- ---------------------------------------------------------------------------------
-- Client configuration
-- ---------------------------------------------------------------------------------

CREATE TABLE ui_54407332_clients.instance_data (
    crm_id      integer PRIMARY KEY,
    crm_name    text    NOT NULL,
    archived    boolean            -- NULL counts as not archived
);

CREATE TABLE ui_54407332_clients.corps (
    corp_id          integer PRIMARY KEY,
    corporation_name text    NOT NULL
);

CREATE TABLE ui_54407332_clients.mids (
    mid_id    text    PRIMARY KEY,
    processor text    NOT NULL,
    corp_id   integer NOT NULL     -- no foreign key: the warehouse keeps orphans
);

-- One row per CRM instance and gateway: the MID and the step that the gateway serves.
CREATE TABLE ui_54407332_clients.steps (
    crm_id     integer NOT NULL,
    gateway_id integer NOT NULL,
    mid_number text    NOT NULL,
    mid_id     text    NOT NULL,
    step       integer NOT NULL,
    close_date date,
    PRIMARY KEY (crm_id, gateway_id)   -- also serves DISTINCT ON (crm_id, gateway_id)
);

CREATE TABLE ui_54407332_clients.gateway_settings (
    crm_id     integer NOT NULL,
    gateway_id text    NOT NULL CHECK (gateway_id ~ '^[0-9]+$'),  -- keeps ::numeric total
    enabled    boolean NOT NULL,
    PRIMARY KEY (crm_id, gateway_id)
);

CREATE TABLE ui_54407332_bins.bin_blacklist (
    crm_id         integer   NOT NULL,
    bin            text      NOT NULL,
    effective_from timestamp,          -- NULL: in force since ever
    enabled        boolean   NOT NULL, -- blocked
    block_pct      numeric(5, 2),
    enable_shave   boolean   NOT NULL,
    PRIMARY KEY (crm_id, bin)          -- the BIN report's left join on instance and BIN
);

-- ---------------------------------------------------------------------------------
-- Processing: recurring orders and caps
-- ---------------------------------------------------------------------------------

CREATE TABLE processing.recurring_orders (
    crm_id              integer NOT NULL,
    order_id            bigint  NOT NULL,
    destination_gateway integer NOT NULL,
    is_dead_mid_cascade smallint NOT NULL DEFAULT 0,
    cc_type             text,
    active              boolean,        -- NULL: state unknown, neither active nor inactive
    retry_date          date,
    PRIMARY KEY (crm_id, order_id)
);

CREATE TABLE processing.cap (
    mid_id                numeric       NOT NULL,
    step                  integer       NOT NULL,
    corporation_name      text          NOT NULL,
    daily_available       numeric(12, 2),
    monthly_available     numeric(12, 2),
    daily_transaction_cap integer,
    used_dtc              integer,
    PRIMARY KEY (mid_id, step)         -- "c.mid_id = b.mid_id::numeric AND c.step = b.step"
);

CREATE TABLE processing.trailing_cap (
    mid_id       text    NOT NULL,
    step         integer NOT NULL,
    available_tc numeric(12, 2),
    PRIMARY KEY (mid_id, step)         -- "e.mid_id = b.mid_id and e.step = b.step"
);

-- ---------------------------------------------------------------------------------
-- Orders and their billing cycles
-- ---------------------------------------------------------------------------------

CREATE TABLE crm_global.orders (
    crm_id     integer NOT NULL,
    order_id   bigint  NOT NULL,
    gateway_id integer NOT NULL,
    cc_type    text,
    month_date date    NOT NULL,
    PRIMARY KEY (crm_id, order_id)     -- the approval report's join from the cycles
);

CREATE TABLE augmented_data.order_cycles (
    crm_id              integer  NOT NULL,
    order_id            bigint   NOT NULL,
    retry_attempt_count integer  NOT NULL DEFAULT 0,
    decline_reason      text,            -- NULL: approved
    bc_inferred         smallint NOT NULL,
    month_date          date     NOT NULL,
    PRIMARY KEY (crm_id, order_id)
);

-- ---------------------------------------------------------------------------------
-- Reporting
-- ---------------------------------------------------------------------------------

-- One row per order, with its cohort attributes, flags and cost figures.
CREATE TABLE reporting.cpa_orders (
    crm_id                  integer   NOT NULL,
    order_id                bigint    NOT NULL,
    customer_id             integer   NOT NULL,
    affid                   text,
    campaign_id             integer,
    gateway_id              integer,
    bin                     text      NOT NULL,
    cc_type                 text,
    acquisition_date        timestamp NOT NULL,
    step                    integer   NOT NULL,
    bc_inferred             smallint  NOT NULL,
    attempt_count           integer   NOT NULL DEFAULT 0,
    retry_attempt_count     integer,
    decline_reason          text,              -- NULL: approved
    order_total             real      NOT NULL,
    refund_amount           real      NOT NULL DEFAULT 0,
    amount_refunded_to_date numeric(12, 2) NOT NULL DEFAULT 0,
    total_refund            numeric(12, 2) NOT NULL DEFAULT 0,
    is_chargeback           integer   NOT NULL DEFAULT 0,
    include_in_r            boolean,
    pp_customer             smallint  NOT NULL DEFAULT 0,
    cap_fill                boolean   NOT NULL DEFAULT false,
    order_diverted          smallint  NOT NULL DEFAULT 0,
    block_customer          smallint  NOT NULL DEFAULT 0,
    saves                   smallint  NOT NULL DEFAULT 0,
    order_provider          smallint  NOT NULL DEFAULT 0,
    step_2_salvaged         smallint  NOT NULL DEFAULT 0,
    step_1_with_2_salvaged  smallint  NOT NULL DEFAULT 0,
    pending                 boolean,
    d_pending               boolean,
    extended_date           date,
    bin_pause               smallint  NOT NULL DEFAULT 0,
    cpa                     numeric(12, 2) NOT NULL DEFAULT 0,
    processing_cost         numeric(12, 2) NOT NULL DEFAULT 0,
    product_cost            numeric(12, 2) NOT NULL DEFAULT 0,
    alert_cost              numeric(12, 2) NOT NULL DEFAULT 0,
    chargeback_cost         numeric(12, 2) NOT NULL DEFAULT 0,
    PRIMARY KEY (crm_id, order_id)
);

-- One row per upcoming recurring cycle.
CREATE TABLE reporting.continuity (
    continuity_id       bigint   PRIMARY KEY,
    crm_id              integer  NOT NULL,
    gateway_id          integer,
    affid               text,
    cc_type             text,
    next_cycle_date     date     NOT NULL,
    retry_attempt_count integer  NOT NULL DEFAULT 0,
    bc_inferred         smallint NOT NULL,
    approval            numeric(6, 4),     -- projected approval probability; NULL: unknown
    order_total         numeric(12, 2)
);

-- Money movements. The MID is kept as mid_id: there is no mid_number here.
CREATE TABLE reporting.ui_revenue_transactions (
    transaction_id   bigint   PRIMARY KEY,
    date             date     NOT NULL,
    crm_id           integer  NOT NULL,
    corporation_name text,
    processor        text,
    mid_id           text,
    gateway_id       integer,
    type             text     NOT NULL CHECK (type IN ('revenue', 'refund', 'alert', 'cb_cost',
                                      'cb_amount', 'reserves', 'processing_cost',
                                      'transaction_cost', 'cpa')),
    bc_inferred      smallint,           -- revenue only
    alert_provider   text,               -- alerts and refunds; NULL: customer-service refund
    value            numeric(12, 2) NOT NULL
);

-- ---------------------------------------------------------------------------------
-- Color index tables, read whole and keyed by one column
-- ---------------------------------------------------------------------------------

CREATE TABLE ui_tintora.approval_bands (
    band        text PRIMARY KEY,
    lower_bound numeric(5, 4) NOT NULL,
    upper_bound numeric(5, 4) NOT NULL,
    color       text NOT NULL,
    note        text
);

CREATE TABLE ui_tintora.bin_category_colors (
    bin_category text PRIMARY KEY,
    color        text    NOT NULL,
    sort_order   integer NOT NULL,
    highlighted  boolean NOT NULL
);

CREATE TABLE ui_tintora.status_colors (
    status_code integer PRIMARY KEY,
    label       text      NOT NULL,
    color       text      NOT NULL,
    weight      real,
    updated_at  timestamp NOT NULL
);

CREATE TABLE ui_tintora.chargeback_bands (
    band        text PRIMARY KEY,
    lower_bound numeric(5, 4) NOT NULL,
    upper_bound numeric(5, 4) NOT NULL,
    color       text NOT NULL,
    note        text
);

CREATE TABLE ui_tintora.gateway_status_colors (
    status text PRIMARY KEY,
    label  text NOT NULL,
    color  text NOT NULL
);

CREATE TABLE ui_tintora.empty_palette (
    name  text PRIMARY KEY,
    color text NOT NULL
);
