-- Indexes and statistics that the report queries' plans need, each with its reason
-- (found with EXPLAIN (ANALYZE, BUFFERS) at a million orders). Run after loading,
-- followed by VACUUM (ANALYZE): the statistics let the planner estimate, the
-- visibility map lets index-only scans skip the table.
--
-- The fact tables are time-ordered, as a warehouse that appends its rows as they come
-- holds them (the cohort table in order of acquisition). A BRIN index then finds a date
-- window in a few kilobytes instead of a B-tree of tens of megabytes, and the rows of
-- the window lie together on disk. A warehouse whose rows are not in date order needs
-- "CLUSTER <table> USING <a B-tree on the date>" (repeated as rows arrive) or a B-tree
-- instead of the BRIN index.

-- Inactive report: it aggregates only inactive orders without a retry date, per
-- instance and destination gateway. A partial index in group order that carries the
-- counted columns lets the aggregate read the index alone, already sorted.
CREATE INDEX recurring_orders_inactive_idx
    ON processing.recurring_orders (crm_id, destination_gateway)
    INCLUDE (is_dead_mid_cascade, cc_type)
    WHERE active IS FALSE AND retry_date IS NULL;

-- Each gateway belongs to one instance: without this the planner multiplies the two
-- columns' distinct counts and expects four times the groups the inactive and
-- continuity reports make.
CREATE STATISTICS recurring_orders_gateway_stats (ndistinct, dependencies)
    ON crm_id, destination_gateway FROM processing.recurring_orders;
CREATE STATISTICS continuity_gateway_stats (ndistinct, dependencies)
    ON crm_id, gateway_id FROM reporting.continuity;

-- The inactive report joins on "d.gateway_id::numeric = a.destination_gateway": this
-- gives the planner the cast's statistics (and a path for that join).
CREATE INDEX gateway_settings_numeric_gateway_idx
    ON ui_54407332_clients.gateway_settings (crm_id, (gateway_id::numeric));

-- Continuity report: cycles after today retried fewer than six times, a small slice
-- of a table that also holds the past cycles.
CREATE INDEX continuity_upcoming_idx
    ON reporting.continuity (next_cycle_date)
    WHERE retry_attempt_count < 6;

-- Approval report: both the cycles and the orders are first cut to a month_date window.
CREATE INDEX order_cycles_month_date_brin
    ON augmented_data.order_cycles USING brin (month_date);
CREATE INDEX orders_month_date_brin ON crm_global.orders USING brin (month_date);

-- BIN and affiliate reports: one acquisition window.
CREATE INDEX cpa_orders_acquisition_date_brin
    ON reporting.cpa_orders USING brin (acquisition_date);

-- Month-to-date report: one date window, grouped by instance and by MID, gateway,
-- corporation or processor, which all name the same MID: the planner must not
-- multiply their distinct counts into hash tables it sizes for groups that never come.
CREATE INDEX ui_revenue_transactions_date_brin
    ON reporting.ui_revenue_transactions USING brin (date);
CREATE STATISTICS ui_revenue_transactions_mid_stats (ndistinct, dependencies)
    ON crm_id, mid_id, gateway_id, corporation_name, processor
    FROM reporting.ui_revenue_transactions;
